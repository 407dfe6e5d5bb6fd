#include "Gateway.h"

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>

#include "Commands.h"
#include "Log.h"
#include "Pending.h"

namespace velkor::gateway {
namespace {

// Command codes of the packets devices send. Our devices report events with 0x01 and poll
// with 0x02: the link library fixes no code for them.
constexpr std::int32_t kEventReport = 0x01;
constexpr std::int32_t kFingerUpload = 0xE8;
constexpr std::int32_t kFingerRequest = 0xEA;
constexpr std::int32_t kVoiceRequest = 0xF2;
constexpr std::int32_t kScheduleList = 0xF4;
constexpr std::int32_t kGroupList = 0xF6;
constexpr std::int32_t kCardList = 0xF8;
constexpr std::int32_t kModulePacket = 0xFA;
constexpr std::int32_t kFirmware = 0xFC;
constexpr std::int32_t kConfiguration = 0xFF;

constexpr std::size_t kHead = 26;
constexpr std::size_t kRecord = 16;         // an event record or a legacy frame
constexpr std::size_t kFirstEvent = 27;     // current devices
constexpr std::size_t kFirstFrame = 86;     // legacy devices
constexpr std::size_t kUploadLength = 156;  // 0xE8: the template ends at byte 155
constexpr std::size_t kRequestLength = 33;  // 0xEA: the number ends at byte 32
constexpr std::size_t kZeroedTail = 160;    // bytes past a short packet the library may read
constexpr std::size_t kCapturedFlag = 39;   // of the configuration record
constexpr std::size_t kDigestLength = 16;   // of a report's SHA-256, for the duplicate check
constexpr std::size_t kMaxRefusalAddresses = 4096;
constexpr const char* kOtherAddresses = "other";
constexpr std::size_t kMaxPendingDevices = 10000;
// Of a pending device's first packet, what is kept to tell it by: the head and a little more.
// A datagram may be padded to the link's limit, and anyone can make up serials.
constexpr std::size_t kFirstPacketKept = 64;
constexpr std::size_t kListScratch = kHead + 15 * kMaxCards;  // the longest list reply

std::array<std::uint8_t, kDigestLength> Digest(const std::vector<std::uint8_t>& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  std::array<std::uint8_t, kDigestLength> kept{};
  std::copy_n(digest, kDigestLength, kept.begin());
  return kept;
}

// The request word of a voice data request after intake: sound buffer element 1.
std::uint16_t VoiceWord(std::uint8_t* packet) {
  const std::uint8_t* sound = reinterpret_cast<const std::uint8_t*>(GetSoundBuffer(packet));
  return static_cast<std::uint16_t>(sound[2] | sound[3] << 8);
}

std::optional<ListKind> ListReport(std::int32_t code) {
  switch (code) {
    case kCardList:
      return ListKind::kCards;
    case kGroupList:
      return ListKind::kGroups;
    case kScheduleList:
      return ListKind::kSchedules;
    default:
      return std::nullopt;
  }
}

std::int32_t SendList(ListKind kind, const Json& body, std::uint8_t* packet) {
  FieldError error;
  switch (kind) {
    case ListKind::kCards: {
      const auto cards = CardsFromJson(body, error);
      return SendCards(packet, static_cast<std::int32_t>(cards->size()), cards->data());
    }
    case ListKind::kGroups: {
      const auto groups = GroupsFromJson(body, error);
      return SendMultiCards(packet, static_cast<std::int32_t>(groups->size()), groups->data());
    }
    case ListKind::kSchedules: {
      const auto schedules = SchedulesFromJson(body, error);
      return SendWorkTime(packet, static_cast<std::int32_t>(schedules->size()), schedules->data());
    }
  }
  return 0;
}

}  // namespace

std::string ReadBack(ListKind kind, const Json& body) {
  std::uint8_t scratch[kListScratch] = {};
  const std::int32_t length = SendList(kind, body, scratch);
  // The reply read as the device's own report of the list.
  scratch[0] = static_cast<std::uint8_t>(kind == ListKind::kCards    ? kCardList
                                         : kind == ListKind::kGroups ? kGroupList
                                                                     : kScheduleList);
  return ReportedList(kind, scratch, static_cast<std::uint32_t>(length));
}

std::string ReportedList(ListKind kind, const std::uint8_t* packet, std::uint32_t length) {
  const std::size_t room = length > kHead ? (length - kHead) / 15 + 1 : 1;
  switch (kind) {
    case ListKind::kCards: {
      std::vector<CardRecord> cards(room);
      const std::int32_t n = GetCards(packet, length, cards.data());
      return CardsToJson(cards.data(), static_cast<std::size_t>(n)).dump();
    }
    case ListKind::kGroups: {
      MultiCardGroup groups[kMaxGroups];
      const std::int32_t n = GetMultiCards(packet, length, groups);
      return GroupsToJson(groups, static_cast<std::size_t>(n)).dump();
    }
    case ListKind::kSchedules: {
      WorkTimeSchedule schedules[kMaxSchedules];
      const std::int32_t n = GetWorkTime(packet, length, schedules);
      return SchedulesToJson(schedules, static_cast<std::size_t>(n)).dump();
    }
  }
  return "[]";
}

Gateway::Gateway(Hub& hub, Database& db, const PolicyOptions& options)
    : hub_(hub), db_(db), options_(options) {
  if (db_.engine() == Engine::kSqlite) {
    db_.Exec("PRAGMA cache_size=-65536");
    db_.WatchWal();
  }
  const std::int64_t now = NowMs();
  std::vector<RecentReport> reports;
  std::lock_guard lock(hub_.mutex);
  LoadState(db_, hub_, now - kDuplicateWindowMs, reports);
  for (const RecentReport& r : reports) {
    ReportKey key{r.serial, {}};
    if (r.digest.size() != key.digest.size()) {
      continue;  // not one of ours
    }
    std::copy(r.digest.begin(), r.digest.end(), key.digest.begin());
    recent_[key] = {r.receivedMs, true};
    recentOrder_.emplace_back(key, r.receivedMs);
  }
  std::sort(recentOrder_.begin(), recentOrder_.end(),
            [](const auto& a, const auto& b) { return a.second < b.second; });
  lastFlushMs_ = now;
}

void Gateway::Refuse(const sockaddr_storage& from, DatagramRefusal reason) {
  ++counts_.refused[static_cast<std::size_t>(reason)];
  std::string address = AddressText(from);
  // Source addresses cost nothing to vary: past a bound, the rest are counted together.
  if (hub_.refusedByAddress.size() >= kMaxRefusalAddresses &&
      hub_.refusedByAddress.count(address) == 0) {
    address = kOtherAddresses;
  }
  ++hub_.refusedByAddress[address];
  ++hub_.counters.refused;
  dirtyRefusals_.push_back(address);
}

const Gateway::Recent* Gateway::SeenRecently(const ReportKey& key, std::int64_t now) {
  while (!recentOrder_.empty() && recentOrder_.front().second < now - kDuplicateWindowMs) {
    const auto found = recent_.find(recentOrder_.front().first);
    if (found != recent_.end() && found->second.ms == recentOrder_.front().second) {
      recent_.erase(found);
    }
    recentOrder_.pop_front();
  }
  const auto found = recent_.find(key);
  return found != recent_.end() && found->second.ms >= now - kDuplicateWindowMs ? &found->second
                                                                                : nullptr;
}

void Gateway::Handle(std::span<Datagram> batch) {
  counts_ = {};
  if (send_) {
    WaitForRoom(batch.size());
  }
  const std::int64_t now = NowMs();
  const std::string at = IsoTime(now);
  Pending* p = TakePending();
  bool submitted = false;
  {
    std::lock_guard lock(hub_.mutex);
    ++hub_.counters.batches;
    for (Datagram& d : batch) {
      waits_ = false;
      const std::size_t writesBefore = p->writes.size();
      d.reply = Answer(d, now, at, *p);
      if (d.reply > 0 && waits_) {
        p->kinds.push_back(replyKind_);
        if (send_) {
          // Out of the link's batch, so that the link sends it only when the commit is done:
          // the reply's bytes alone, not the work buffer, which thousands of held replies
          // would each keep.
          if (p->heldCount == p->held.size()) {
            p->held.emplace_back(0);
          }
          Datagram& held = p->held[p->heldCount++];
          const auto reply = d.buffer.begin() + d.reply;
          held.buffer.assign(d.buffer.begin(), reply);
          held.length = 0;  // the packet is not kept
          held.from = d.from;
          held.fromLength = d.fromLength;
          held.reply = d.reply;
          held.to = d.to;
          held.toLength = d.toLength;
          d.reply = 0;
        } else {
          p->replies.push_back(&d);
        }
        continue;
      }
      for (std::size_t i = writesBefore; i < p->writes.size(); ++i) {
        p->writes[i].first = Pending::kNoReply;
      }
      if (d.reply > 0) {
        ++counts_.replies[static_cast<std::size_t>(replyKind_)];  // it waits on nothing
      }
    }
    for (std::size_t i = 0; i < p->heldCount; ++i) {
      p->replies.push_back(&p->held[i]);
    }
    if (send_ && p->heldCount > 0) {
      // A device's replies that wait on nothing may come before its held ones in this batch:
      // they leave now, under the lock the store thread sends the held ones under.
      send_(batch);
      for (Datagram& d : batch) {
        d.reply = 0;
      }
    }
    if (send_ && p->FromLink()) {
      Submit(p);
      submitted = true;
    }
  }
  hub_.metrics.ObserveBatch(batch.size());
  hub_.metrics.AddBatch(counts_);
  if (submitted) {
    return;
  }
  std::vector<Pending*> group{p};
  if (p->FromLink()) {
    Commit(group);
  } else {
    Recycle(group, false);
  }
}

std::int32_t Gateway::Answer(Datagram& d, std::int64_t now, const std::string& at, Pending& p) {
  ++hub_.counters.received;
  ++counts_.received;
  replyKind_ = ReplyKind::kEcho;
  if (d.oversized) {
    ++hub_.counters.oversized;
    Refuse(d.from, DatagramRefusal::kOversized);
    return 0;
  }
  std::uint8_t* packet = d.buffer.data();
  // The library reads past a short packet in places (a configuration, a template); those
  // bytes read as zero, never as the previous datagram's.
  if (d.length < kZeroedTail) {
    std::memset(packet + d.length, 0, kZeroedTail - d.length);
  }
  raw_.assign(packet, packet + d.length);
  const std::int32_t code = PreparePackage(packet, d.length);
  if (code == 0) {
    Refuse(d.from, DatagramRefusal::kMalformed);
    return 0;
  }
  const std::uint64_t serial = GetDeviceIdent(packet);
  const int type = GetDeviceType(packet);
  const std::string ip = AddressText(d.from);

  Device* device = hub_.Find(serial);
  if (device == nullptr && options_.admit == Admit::kKnown &&
      hub_.pendingDevices >= kMaxPendingDevices) {
    // The key texts are no secret, so anyone can make up serials: the pending list is bounded.
    ++hub_.counters.unadmitted;
    ++counts_.refused[static_cast<std::size_t>(DatagramRefusal::kPendingFull)];
    return 0;
  }
  if (device == nullptr) {
    Device fresh;
    fresh.serial = serial;
    fresh.admitted = options_.admit == Admit::kAny;
    fresh.pinnedIp = fresh.admitted ? ip : std::string();
    fresh.firstSeen = at;
    fresh.lastSeen = at;  // the row is written now, as seen now
    fresh.firstPacket = Hex(raw_.data(), std::min(raw_.size(), kFirstPacketKept));
    hub_.pendingDevices += fresh.admitted ? 0 : 1;
    if (newDeviceLines_.Allow()) {
      LogInfo(
          "new device " + SerialText(serial) + " from " + ip +
          (fresh.admitted ? ": admitted at first contact (--admit any)" : ": waits for admission"));
    }
    device = &hub_.devices.emplace(serial, std::move(fresh)).first->second;
    hub_.NoteFirstContact(serial);
    const DeviceRow snapshot = device->Registry();
    AddWrite(p, [snapshot](Database& db) {
      SaveDevice(db, snapshot);
      return true;
    });
  }
  Device& dev = *device;
  ++hub_.counters.accepted;
  if (dev.admitted && ip != dev.pinnedIp) {
    // The serial is a device's, the address is not the one it was admitted from: counted, and
    // nothing else of the device changes (its address, its type, when it was last seen).
    ++dev.conflicts;
    ++hub_.counters.conflicts;
    ++counts_.refused[static_cast<std::size_t>(DatagramRefusal::kConflict)];
    if (dev.conflictAddress != ip && conflictLines_.Allow()) {
      LogWarning("address conflict: " + SerialText(dev.serial) + " is pinned to " + dev.pinnedIp +
                 ", packets from " + ip + " are refused");
    }
    dev.conflictAddress = ip;
    dev.dirty = true;
    return 0;
  }
  if (dev.accepted == 0) {
    hub_.NoteStatus(serial, "first_seen");
    dev.dirty = true;
  } else if (dev.ip != ip || dev.port != AddressPort(d.from)) {
    hub_.NoteStatus(serial, "address_changed");
    dev.dirty = true;
  }
  dev.dirty = dev.dirty || dev.type != type;
  ++dev.accepted;
  dev.type = type;
  dev.lastSeen = at;
  dev.lastSeenMs = now;
  dev.ip = ip;
  dev.port = AddressPort(d.from);
  dev.address = d.from;
  dev.addressLength = d.fromLength;
  dev.seenDirty = true;

  if (!dev.admitted) {
    ++hub_.counters.unadmitted;
    ++counts_.refused[static_cast<std::size_t>(DatagramRefusal::kUnadmitted)];
    return 0;
  }

  // What the packet holds, into the registry and the store.
  if (code == kEventReport && !TakeEvents(dev, packet, d.length, now, p)) {
    Refuse(d.from, DatagramRefusal::kTruncated);  // shorter than its record count says
    return 0;
  }
  if ((code == kFingerUpload && d.length < kUploadLength) ||
      (code == kFingerRequest && d.length < kRequestLength)) {
    Refuse(d.from, DatagramRefusal::kTruncated);
    return 0;
  }
  ++counts_.accepted;
  if (code == kFingerUpload) {
    FingerDataRecord upload{};
    GetFingerData(packet, &upload);
    Template data;
    std::memcpy(data.data(), upload.templateData, kTemplateLength);
    AddWrite(p, [serial, slot = upload.leadByte, data, at](Database& db) {
      SaveTemplate(db, serial, slot, data, "device", at);
      return true;
    });
    p.undo.templates.emplace_back(serial, upload.leadByte, data);
    p.undo.announce.insert(serial);
  }
  if (code == kFirmware) {
    dev.firmware = GetFirmwareVersion(packet);
    dev.dirty = true;
  }
  if (code == kConfiguration || code == kFirmware || (dev.IsLegacy() && code == kModulePacket)) {
    const std::uint8_t* config = ReadNetConfigration();
    if (config[kCapturedFlag] == 0) {
      dev.config.emplace();
      std::memcpy(dev.config->data(), config, kConfigLength);
      dev.dirty = true;
    }
  }

  const std::int32_t reply = Reply(dev, code, d, now, at, p);
  if (reply > 0) {
    ++dev.answered;
    ++hub_.counters.answered;
    d.to = d.from;
    d.toLength = d.fromLength;
    // With the pipeline, behind the device's earlier replies (a batch without it goes out
    // whole, in order).
    waits_ = waits_ || (send_ && dev.repliesHeld > 0);
    if (waits_ && send_) {
      ++dev.repliesHeld;
      p.serials.push_back(dev.serial);
    }
  }
  return reply;
}

bool Gateway::TakeEvents(Device& device, std::uint8_t* packet, std::uint32_t length,
                         std::int64_t now, Pending& p) {
  if (length <= kHead) {
    return false;
  }
  const std::size_t first = device.IsLegacy() ? kFirstFrame : kFirstEvent;
  const std::size_t count = packet[kHead];
  if (length < first + kRecord * count) {
    return false;
  }
  const ReportKey key{device.serial, Digest(raw_)};
  if (const Recent* seen = SeenRecently(key, now)) {
    ++hub_.counters.duplicates;
    ++counts_.duplicates;
    // Its first copy may be on its way to the store: this reply, too, waits for that commit
    // (which comes first), and goes unanswered if it fails.
    waits_ = waits_ || !seen->committed;
    return true;  // answered again, stored once
  }
  recent_[key] = {now, false};
  recentOrder_.emplace_back(key, now);
  p.undo.reports.push_back(key);

  // GetEvents hands the records out last to first; they are stored in packet order.
  Pending::Report report;
  report.serial = device.serial;
  report.digest = key.digest;
  report.ms = now;
  report.first = p.events.size();
  EventRecord event{};
  while (GetEvents(packet, &event)) {
    Pending::Event& e = p.events.emplace_back();
    e.record = event;
    std::copy_n(raw_.data() + first + kRecord * packet[kHead], kRecord, e.raw.begin());
  }
  std::reverse(p.events.begin() + static_cast<std::ptrdiff_t>(report.first), p.events.end());
  report.count = p.events.size() - report.first;
  p.reports.push_back(report);
  waits_ = true;
  device.events += count;
  hub_.counters.eventsStored += count;
  p.undo.events.emplace_back(device.serial, count);
  return true;
}

std::int32_t Gateway::Reply(Device& dev, std::int32_t code, Datagram& d, std::int64_t now,
                            const std::string& at, Pending& p) {
  // 1. Voice data, 2. a template: these requests take nothing else as their answer.
  if (code == kVoiceRequest && dev.IsLegacy()) {
    replyKind_ = ReplyKind::kVoice;
    return ReplyVoice(dev, d);
  }
  std::uint8_t* packet = d.buffer.data();
  const std::uint32_t length = d.length;
  if (code == kFingerRequest) {
    replyKind_ = ReplyKind::kTemplate;
    return ReplyTemplate(dev, packet);
  }
  // 3. The oldest queued command.
  if (!dev.commands.empty()) {
    QueuedCommand command = std::move(dev.commands.front());
    dev.commands.pop_front();
    const std::int32_t reply = SendCommand(command.body, packet);
    AddWrite(p, [id = command.id, at, packet = Hex(raw_.data(), raw_.size()), code](Database& db) {
      return MarkCommandSent(db, id, at, packet, code);
    });
    hub_.commandsInFlight.insert(command.id);
    p.undo.announce.insert(dev.serial);
    p.undo.commands.emplace_back(dev.serial, std::move(command));
    replyKind_ = ReplyKind::kCommand;
    return reply;
  }
  // 4. The clock, on first contact and then every clockEvery.
  if (!dev.lastClockMs ||
      (options_.clockEveryMs > 0 && now - *dev.lastClockMs >= options_.clockEveryMs)) {
    dev.lastClockMs = now;
    dev.lastClockAt = at;
    dev.dirty = true;
    replyKind_ = ReplyKind::kClock;
    return SendTimer(packet);
  }
  // 5. A list report that differs from the wanted list.
  if (const auto kind = ListReport(code)) {
    if (const std::int32_t reply = ReplyList(dev, *kind, packet, length, at, p); reply > 0) {
      replyKind_ = ReplyKind::kList;
      return reply;
    }
  }
  // 6. The configuration back, 7. else the echo.
  if (code == kConfiguration || code == kFirmware) {
    replyKind_ = ReplyKind::kConfiguration;
    return SendNetConfigration(packet);
  }
  return SendDeviceEcho(packet);
}

std::int32_t Gateway::ReplyVoice(Device& dev, Datagram& d) {
  const auto clip = dev.voice.find(VoiceWord(d.buffer.data()));
  const std::size_t count =
      clip == dev.voice.end() ? 0 : std::min(clip->second.size(), kMaxVoiceClip);
  if (d.buffer.size() < kVoiceHead + count) {
    d.buffer.resize(kVoiceHead + count);  // keeps the packet; the next datagram reuses the room
  }
  // The sound buffer sits at an odd address: byte access only. Element 0 is the data count,
  // element 1 the request word, little-endian; the data follows from byte 29.
  std::uint8_t* sound = reinterpret_cast<std::uint8_t*>(GetSoundBuffer(d.buffer.data()));
  if (count > 0) {
    std::memcpy(sound + 4, clip->second.data(), count);
  }
  sound[0] = static_cast<std::uint8_t>(count & 0xFF);
  sound[1] = static_cast<std::uint8_t>(count >> 8);
  return SendSoundData(d.buffer.data());
}

std::int32_t Gateway::ReplyTemplate(Device& dev, std::uint8_t* packet) {
  FingerDataRecord record{};
  GetFingerData(packet, &record);
  // No template for the slot: an all-zero one says so.
  if (const auto stored = dev.templates.find(record.leadByte); stored != dev.templates.end()) {
    std::memcpy(record.templateData, stored->second.data(), kTemplateLength);
  }
  return SendFingerData(packet, &record);
}

std::int32_t Gateway::ReplyList(Device& dev, ListKind kind, std::uint8_t* packet,
                                std::uint32_t length, const std::string& at, Pending& p) {
  auto& slot = dev.lists[static_cast<std::size_t>(kind)];
  if (!slot) {
    return 0;
  }
  WantedList& wanted = *slot;
  if (wanted.readBack.empty()) {
    wanted.readBack = ReadBack(kind, wanted.body);
  }
  const WantedList before = wanted;
  if (ReportedList(kind, packet, length) == wanted.readBack) {
    if (wanted.state != "confirmed") {
      wanted.state = "confirmed";
      wanted.confirmedAt = at;
      AddWrite(p, [serial = dev.serial, kind, wanted](Database& db) {
        SaveListState(db, serial, kind, wanted);
        return true;
      });
      p.undo.lists.emplace_back(dev.serial, kind, before);
      p.undo.announce.insert(dev.serial);
    }
    return 0;
  }
  const std::int32_t reply = SendList(kind, wanted.body, packet);
  wanted.state = "sent";
  wanted.sentAt = at;
  AddWrite(p, [serial = dev.serial, kind, wanted](Database& db) {
    SaveListState(db, serial, kind, wanted);
    return true;
  });
  p.undo.lists.emplace_back(dev.serial, kind, before);
  p.undo.announce.insert(dev.serial);
  return reply;
}

void EchoOnly::Handle(std::span<Datagram> batch) {
  for (Datagram& d : batch) {
    d.reply = 0;
    if (d.oversized || PreparePackage(d.buffer.data(), d.length) == 0) {
      continue;
    }
    d.reply = SendDeviceEcho(d.buffer.data());
    d.to = d.from;
    d.toLength = d.fromLength;
  }
}

}  // namespace velkor::gateway
