#include "Simulator.h"

#include <poll.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <limits>
#include <thread>

#include "DeviceSeal.h"
#include "WireBytes.h"

namespace velkor::sim {
namespace {

constexpr unsigned kMaxEventsPerPacket = 5;
constexpr unsigned kMinBurst = 3;
constexpr unsigned kMaxBurst = 6;
constexpr std::uint8_t kTemplateSlots = 8;
constexpr unsigned kMaxVoiceExtra = 4;
constexpr std::uint16_t kVoiceEntries = 254;  // a voice bank holds entries 1..254
constexpr std::size_t kBlock = 10;            // security block, bytes 10..25
constexpr int kDrainMs = 100;
constexpr std::uint64_t kSerialMask = 0x00FFFFFFFFFFFFFFull;  // 56 bits travel
constexpr unsigned kDefaultSockets = 64;
// The host counts as stopped when it answers nothing for this long (or for every try of a
// packet, when that takes longer) while packets are outstanding.
constexpr int kSilenceFloorMs = 3000;
constexpr unsigned kMaxLoadNotes = 100;  // failure lines shown in load mode
constexpr int kLoadWakeMs = 100;
constexpr unsigned kLoadReadsPerWake = 256;
// Open loop: configurations outstanding at a time while the devices announce themselves, and
// the timer slack asked for, so that a packet goes when it is due rather than up to the
// default 50 us later.
constexpr std::size_t kAnnounceWindow = 256;
constexpr unsigned long kOpenLoopSlackNs = 1000;
constexpr std::chrono::microseconds kOpenLoopTick(50);

const char* const kFamilyNames[kFamilies] = {
    "configuration (0xFF)",     "module packet (0xFA)", "firmware (0xFC)",
    "event report (0x01)",      "poll (0x02)",          "card list (0xF8)",
    "group list (0xF6)",        "schedule list (0xF4)", "finger upload (0xE8)",
    "finger request (0xEA)",    "voice request (0xF2)", "reader mode report (0xEE)",
    "finger mode report (0xEC)"};
const char* const kFaultNames[kFaultKinds] = {"corrupt-block", "wrong-serial", "truncated",
                                              "duplicate", "burst"};
const char* const kEndingNames[] = {"finished", "signal", "host stopped answering",
                                    "host unreachable"};

template <typename T>
void Shuffle(std::vector<T>& items, Rng& rng) {
  for (std::size_t i = items.size(); i > 1; --i) {
    std::swap(items[i - 1], items[rng.Below(static_cast<std::uint32_t>(i))]);
  }
}

std::string Digits(Rng& rng, unsigned count) {
  std::string digits;
  for (unsigned i = 0; i < count; ++i) {
    digits += static_cast<char>('0' + rng.Below(10));
  }
  return digits;
}

Card MakeCard(Rng& rng) {
  Card card;
  card.number = rng.Next() & 0xFFFFFFFFFFull;
  card.password = Digits(rng, rng.Below(9));
  card.year = static_cast<std::uint8_t>(rng.Below(100));
  card.month = static_cast<std::uint8_t>(1 + rng.Below(12));
  card.day = static_cast<std::uint8_t>(1 + rng.Below(28));
  card.hour = static_cast<std::uint8_t>(rng.Below(24));
  card.param = rng.Byte();
  card.flags = rng.Byte() & 0xDF;  // bit 5 is unused
  return card;
}

Schedule MakeSchedule(Rng& rng) {
  Schedule schedule{rng.Byte(), rng.Byte(), {}};
  for (auto& period : schedule.periods) {
    if (rng.Below(3) == 0) {
      continue;
    }
    const unsigned start = rng.Below(24 * 60);
    const unsigned end = start + 1 + rng.Below(24 * 60 - start);  // up to 24:00
    period = Period{static_cast<std::uint8_t>(start / 60), static_cast<std::uint8_t>(start % 60),
                    static_cast<std::uint8_t>(end / 60), static_cast<std::uint8_t>(end % 60)};
  }
  return schedule;
}

Group MakeGroup(Rng& rng, std::uint8_t number, const std::vector<Card>& cards) {
  Group group{number,     rng.Byte(),        {},
              rng.Byte(), rng.Below(2) == 1, static_cast<std::uint8_t>(rng.Byte() & 0x1F)};
  const unsigned members = rng.Below(6);
  for (unsigned i = 0; i < members && i < cards.size(); ++i) {
    group.cards.push_back(cards[i].number);
  }
  return group;
}

// Code groups of kinds 0 and 3 on a current device carry different fields from byte 8 on.
void FillCurrentCodeGroup(Event& event, Rng& rng) {
  auto& b = event.bytes;
  const std::uint8_t group = static_cast<std::uint8_t>(rng.Below(16));
  b[7] = static_cast<std::uint8_t>(group << 4 | rng.Below(16));
  if (group == 0x8) {
    b[8] = static_cast<std::uint8_t>(1 + rng.Below(4));  // door
    PutBigEndian(&b[9], rng.Next() & 0xFFFFFFFFFFull, 5);
  } else if (group == 0x9) {
    b[8] = static_cast<std::uint8_t>(1 + rng.Below(4));
    PackDigits(&b[9], Digits(rng, 4 + rng.Below(5)));
  } else if (group == 0xF) {
    b[9] = ToBcd(static_cast<int>(rng.Below(100)));
  }
}

void FillLegacyCode(Event& event, Rng& rng) {
  auto& b = event.bytes;
  static constexpr std::uint8_t kCodes[] = {0x01, 0x12, 0x25, 0x3F, 0x45, 0x70, 0x70, 0x9C};
  b[7] = kCodes[rng.Below(sizeof kCodes)];
  if (b[7] == 0x70) {
    b[8] = rng.Below(4) == 0 ? 0x9A : ToBcd(static_cast<int>(rng.Below(100)));
  }
}

}  // namespace

const char* FamilyName(Family family) {
  return kFamilyNames[static_cast<std::size_t>(family)];
}

const char* FaultName(Fault fault) {
  return kFaultNames[static_cast<std::size_t>(fault)];
}

std::optional<Fault> ParseFault(std::string_view name) {
  for (std::size_t i = 0; i < kFaultKinds; ++i) {
    if (name == kFaultNames[i]) {
      return static_cast<Fault>(i);
    }
  }
  return std::nullopt;
}

const char* EndingName(Ending ending) {
  return kEndingNames[static_cast<std::size_t>(ending)];
}

unsigned Options::Sockets() const {
  const unsigned wanted = sockets > 0 ? sockets : kDefaultSockets;
  return std::max(1u, std::min(wanted, devices));
}

unsigned Stats::Sent() const {
  unsigned total = 0;
  for (unsigned count : sent) {
    total += count;
  }
  return total;
}

DeviceState MakeDevice(Rng& rng, std::size_t index) {
  DeviceState device;
  device.type = index % 2 == 0 ? kCurrentType : kLegacyType;
  device.serial = rng.Next() & kSerialMask;
  device.config.lead = rng.Byte();
  device.config.address = {127, 0, 0, static_cast<std::uint8_t>(1 + index)};
  device.config.firstWord = static_cast<std::uint16_t>(8000 + index);
  device.config.secondWord = static_cast<std::uint16_t>(rng.Next());
  for (auto& b : device.config.block30) {
    b = rng.Byte();
  }
  for (auto& b : device.config.block20) {
    b = rng.Byte();
  }
  device.legacyFirmware = ToBcd(static_cast<int>(10 + rng.Below(90)));
  device.currentFirmware = "1" + Digits(rng, 3);
  for (unsigned i = 2 + rng.Below(5); i > 0; --i) {
    device.cards.push_back(MakeCard(rng));
  }
  for (std::uint8_t number = 0; number < 32;
       number = static_cast<std::uint8_t>(number + 1 + rng.Below(12))) {
    device.groups.push_back(MakeGroup(rng, number, device.cards));
  }
  for (unsigned i = 1 + rng.Below(3); i > 0; --i) {
    device.schedules.push_back(MakeSchedule(rng));
  }
  // Reader mode bytes 0 and 1 are decimal numbers 0..99 for a legacy reader.
  device.readerMode = {static_cast<std::uint8_t>(rng.Below(100)),
                       static_cast<std::uint8_t>(rng.Below(100)), rng.Byte(), rng.Byte(),
                       rng.Byte()};
  device.fingerMode = {rng.Byte(), rng.Byte(), rng.Byte(), rng.Byte(), rng.Byte()};
  return device;
}

Event MakeEvent(Rng& rng, bool legacy, std::uint64_t number) {
  static constexpr std::uint8_t kKinds[] = {0, 0, 0, 1, 2, 3, 4, 0, 3, 5};
  const std::uint8_t kind = kKinds[rng.Below(sizeof kKinds)];
  Event event;
  const std::size_t used = legacy ? 11 : 16;  // a legacy frame carries ten data bytes
  for (std::size_t i = 1; i < used; ++i) {
    event.bytes[i] = rng.Byte();
  }
  event.bytes[0] = legacy ? static_cast<std::uint8_t>(kind << 4 | rng.Below(16)) : kind;
  auto& b = event.bytes;
  if (kind == 0 || kind == 3) {
    PutBigEndian(&b[1], number, 6);
    if (legacy) {
      FillLegacyCode(event, rng);
    } else {
      FillCurrentCodeGroup(event, rng);
    }
  } else if (kind == 1) {
    b[3] = static_cast<std::uint8_t>(rng.Below(13));  // above 10 carries no value
  } else if (kind == 2) {
    b[1] = ToBcd(static_cast<int>(rng.Below(100)));
    b[2] = ToBcd(static_cast<int>(rng.Below(100)));
  }
  return event;
}

Simulator::Simulator(const Options& options, const Connect& connect, std::FILE* log)
    : options_(options), rng_(options.seed), log_(log) {
  // With a fleet seed, runs with other seeds meet a host that knows their devices already.
  Rng fleet(options_.fleetSeed);
  Rng& identities = options_.fleetSeed != 0 ? fleet : rng_;
  for (std::size_t i = 0; i < options_.devices; ++i) {
    DeviceState device = MakeDevice(identities, i);
    // Replies find their device by serial, so no two devices share one.
    while (bySerial_.count(device.serial) != 0) {
      device.serial = identities.Next() & kSerialMask;
    }
    bySerial_.emplace(device.serial, static_cast<std::uint32_t>(i));
    devices_.push_back(std::move(device));
    auto& rounds = faultRounds_.emplace_back();
    for (unsigned& round : rounds) {
      round = rng_.Below(std::max(1u, options_.rounds));
    }
  }
  for (std::size_t i = 0; i < options_.Sockets(); ++i) {
    links_.push_back(connect(i));
  }
  late_.resize(devices_.size());
}

Stats Simulator::Run() {
  quietSince_ = Clock::now();
  return options_.loadSeconds > 0 ? RunLoad() : RunRounds();
}

Stats Simulator::RunRounds() {
  for (unsigned round = 0; round < options_.rounds; ++round) {
    for (std::size_t device = 0; device < devices_.size(); ++device) {
      for (const Step& step : Script(device, round)) {
        if (Stopping()) {
          return stats_;
        }
        RunStep(device, step);
        if (stats_.ending != Ending::kFinished) {
          return stats_;
        }
        if (options_.intervalMs > 0) {
          // Nothing is outstanding during the pause: it does not count as the host's silence.
          const Clock::time_point before = Clock::now();
          (void)poll(nullptr, 0, options_.intervalMs);
          quietSince_ += Clock::now() - before;
        }
      }
    }
  }
  if (!Stopping()) {
    Drain();
  }
  return stats_;
}

// One round of a device: every family of its generation in a shuffled order. The first round
// opens with the configuration, as a device announces itself; later rounds repeat it.
std::vector<Simulator::Step> Simulator::Script(std::size_t device, unsigned round) {
  const bool legacy = devices_[device].IsLegacy();
  std::vector<Family> families =
      legacy ? std::vector<Family>{Family::kModule,          Family::kFirmware,
                                   Family::kEvents,          Family::kPoll,
                                   Family::kCardList,        Family::kGroupList,
                                   Family::kScheduleList,    Family::kVoiceRequest,
                                   Family::kReaderModeReport}
             : std::vector<Family>{
                   Family::kFirmware,        Family::kEvents,        Family::kPoll,
                   Family::kCardList,        Family::kGroupList,     Family::kScheduleList,
                   Family::kFingerUpload,    Family::kFingerRequest, Family::kReaderModeReport,
                   Family::kFingerModeReport};
  if (round > 0) {
    families.push_back(Family::kConfig);
  }
  Shuffle(families, rng_);
  // A template request comes after the round's upload, so that the host has one to give.
  const auto upload = std::find(families.begin(), families.end(), Family::kFingerUpload);
  const auto request = std::find(families.begin(), families.end(), Family::kFingerRequest);
  if (upload != families.end() && request < upload) {
    std::iter_swap(upload, request);
  }
  std::vector<Step> steps;
  if (round == 0) {
    steps.push_back({Family::kConfig, std::nullopt});
  }
  for (Family family : families) {
    steps.push_back({family, std::nullopt});
  }
  for (Fault fault : options_.faults) {
    if (faultRounds_[device][static_cast<std::size_t>(fault)] != round) {
      continue;
    }
    // Each fault lands on a step that has none yet; a burst is a step of its own.
    const std::size_t at = rng_.Below(static_cast<std::uint32_t>(steps.size()));
    if (fault == Fault::kBurst) {
      steps.insert(steps.begin() + static_cast<std::ptrdiff_t>(at), {Family::kPoll, fault});
      continue;
    }
    std::size_t free = at;
    while (steps[free].fault) {
      free = (free + 1) % steps.size();
    }
    steps[free].fault = fault;
  }
  return steps;
}

void Simulator::RunStep(std::size_t device, const Step& step) {
  if (step.fault == Fault::kBurst) {
    // Several packets back to back; the replies are awaited afterwards, in order.
    ++stats_.faults[static_cast<std::size_t>(Fault::kBurst)];
    std::vector<Pending> burst;
    for (unsigned i = kMinBurst + rng_.Below(kMaxBurst - kMinBurst + 1); i > 0; --i) {
      const Family family = rng_.Below(2) == 0 ? Family::kPoll : Family::kEvents;
      burst.push_back(Make(device, family));
      SendValid(device, burst.back());
    }
    for (const Pending& packet : burst) {
      AwaitReply(device, packet, false);
      if (stats_.ending != Ending::kFinished) {
        return;
      }
    }
    return;
  }
  const Pending packet = Make(device, step.family);
  if (step.fault && IsRefused(*step.fault)) {
    // The spoiled copy goes first and must go unanswered: the first reply is the good copy's.
    ++stats_.faults[static_cast<std::size_t>(*step.fault)];
    const Bytes spoiled = Spoil(packet.request, *step.fault, step.family);
    LinkOf(device).Send(spoiled);
    Note(device, packet, std::string("spoiled copy sent first: ") + FaultName(*step.fault), false);
    SendValid(device, packet);
    AwaitReply(device, packet, true);
    return;
  }
  SendValid(device, packet);
  if (step.fault == Fault::kDuplicate) {
    ++stats_.faults[static_cast<std::size_t>(Fault::kDuplicate)];
    SendValid(device, packet);
    if (!AwaitReply(device, packet, false) && stats_.ending != Ending::kFinished) {
      return;
    }
  }
  AwaitReply(device, packet, false);
}

// A packet as built and sealed; the records of an event report go into the device's log.
Simulator::Pending Simulator::Make(std::size_t device, Family family) {
  DeviceState& d = devices_[device];
  Pending packet;
  packet.family = family;
  packet.firstEvent = d.eventLog.size();
  packet.request = Build(device, family);
  if (family == Family::kEvents) {
    const std::size_t first = d.IsLegacy() ? kLegacyFrame : kPayload + 1;
    packet.events = packet.request[kPayload];
    for (std::size_t k = 0; k < packet.events && options_.logEvents; ++k) {
      LoggedEvent& logged = d.eventLog.emplace_back();
      std::copy_n(packet.request.begin() + static_cast<std::ptrdiff_t>(first + kFrameLength * k),
                  kFrameLength, logged.raw.begin());
    }
  }
  packet.wire = packet.request;
  SealDevicePacket(packet.wire);
  return packet;
}

Bytes Simulator::Build(std::size_t device, Family family) {
  DeviceState& d = devices_[device];
  // Block bytes 8..13 number the packet, so that each reply names the packet it answers.
  ++sequence_;
  d.blockTail = {static_cast<std::uint8_t>(sequence_ >> 24),
                 static_cast<std::uint8_t>(sequence_ >> 16),
                 static_cast<std::uint8_t>(sequence_ >> 8),
                 static_cast<std::uint8_t>(sequence_),
                 0x5E,
                 static_cast<std::uint8_t>(device)};
  switch (family) {
    case Family::kConfig:
      return ConfigPacket(d, code::kConfiguration);
    case Family::kModule:
      return ConfigPacket(d, code::kModulePacket);
    case Family::kFirmware:
      return ConfigPacket(d, code::kFirmware);
    case Family::kEvents: {
      std::vector<Event> events;
      const unsigned count = options_.eventsPerReport > 0
                                 ? std::min(options_.eventsPerReport, kMaxEventsPerReport)
                                 : 1 + rng_.Below(kMaxEventsPerPacket);
      for (unsigned i = count; i > 0; --i) {
        events.push_back(MakeEvent(rng_, d.IsLegacy(), d.nextEventNumber++));
      }
      return EventPacket(d, events);
    }
    case Family::kPoll:
      return PollPacket(d);
    case Family::kCardList:
      return CardListPacket(d);
    case Family::kGroupList:
      return GroupListPacket(d);
    case Family::kScheduleList:
      return ScheduleListPacket(d);
    case Family::kFingerUpload: {
      const std::uint8_t slot = static_cast<std::uint8_t>(rng_.Below(kTemplateSlots));
      Template data;
      for (auto& b : data) {
        b = rng_.Byte();
      }
      d.templates[slot] = data;
      d.uploaded[slot] = data;
      return FingerUploadPacket(d, slot, data);
    }
    case Family::kFingerRequest: {
      // A reader asks for the templates it uploaded itself.
      std::uint8_t slot = static_cast<std::uint8_t>(rng_.Below(kTemplateSlots));
      if (!d.uploaded.empty()) {
        auto known = d.uploaded.begin();
        std::advance(known, rng_.Below(static_cast<std::uint32_t>(d.uploaded.size())));
        slot = known->first;
      }
      return FingerRequestPacket(d, slot, static_cast<std::uint32_t>(rng_.Next()));
    }
    case Family::kVoiceRequest:
      return VoiceRequestPacket(d, static_cast<std::uint16_t>(1 + rng_.Below(kVoiceEntries)),
                                rng_.Below(kMaxVoiceExtra + 1));
    case Family::kReaderModeReport:
      return ModeReportPacket(d, code::kReaderModeReport, d.readerMode);
    case Family::kFingerModeReport:
      return ModeReportPacket(d, code::kFingerModeReport, d.fingerMode);
  }
  return PollPacket(d);
}

Bytes Simulator::Spoil(const Bytes& plain, Fault fault, Family family) {
  Bytes wire = plain;
  if (fault == Fault::kWrongSerial) {
    // A block whose check value is right but whose copy of the serial is not.
    std::copy(plain.begin() + 2, plain.begin() + 10, wire.begin() + kBlock);
    wire[kBlock + 1 + rng_.Below(7)] ^= static_cast<std::uint8_t>(1 + rng_.Below(255));
    const std::uint16_t check = devicekit::CheckValue(wire.data());
    wire[24] = static_cast<std::uint8_t>(check >> 8);
    wire[25] = static_cast<std::uint8_t>(check);
    devicekit::EncryptBlockAsDevice(wire.data());
    return wire;
  }
  SealDevicePacket(wire);
  if (fault == Fault::kCorruptBlock) {
    // One flipped bit; again in the rare case that the block still checks.
    devicekit::Block plainBlock{};
    do {
      wire[kBlock + rng_.Below(16)] ^= static_cast<std::uint8_t>(1u << rng_.Below(8));
    } while (devicekit::OpenBlock(wire.data(), devicekit::kIncomingKeyText, plainBlock));
  } else {
    // Truncated: short of the head, or a voice request short of its request word.
    const bool voice = family == Family::kVoiceRequest;
    wire.resize(voice ? kHeadLength + rng_.Below(3) : rng_.Below(kHeadLength));
  }
  return wire;
}

void Simulator::SendValid(std::size_t device, const Pending& packet) {
  LinkOf(device).Send(packet.wire);
  ++stats_.sent[static_cast<std::size_t>(packet.family)];
  stats_.eventsReported += static_cast<unsigned>(packet.events);
}

// Waits for the reply to `packet`, sending it again after each timeout while retries are left.
bool Simulator::AwaitReply(std::size_t device, const Pending& packet, bool afterSpoiled) {
  const std::chrono::milliseconds timeout(options_.timeoutMs);
  unsigned tries = 1;
  Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    if (Stopping()) {
      return false;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const Receive got = LinkOf(device).Await(
        static_cast<int>(std::max<std::int64_t>(0, static_cast<std::int64_t>(left.count()))),
        reply_);
    if (got == Receive::kUnreachable) {
      stats_.unreachable = true;
      EndRun(answered_ ? Ending::kStopped : Ending::kUnreachable);
      Note(device, packet,
           answered_ ? "host stopped answering (its port is closed now)"
                     : "host unreachable (nothing listens on its port)",
           true);
      return false;
    }
    if (got == Receive::kTimeout) {
      if (Stopping()) {
        return false;
      }
      if (LinkOf(device).Descriptor() >= 0 && Clock::now() < deadline) {
        continue;  // woken early
      }
      const bool silent = HostSilent(Clock::now());
      if (tries <= options_.retries && !silent) {
        ++tries;
        ++stats_.retries;
        LinkOf(device).Send(packet.wire);
        Note(device, packet, "no reply in time, sent again", false);
        deadline = Clock::now() + timeout;
        continue;
      }
      ++stats_.missing;
      AllowLate(device, packet, tries);
      Note(device, packet,
           "no reply within " + std::to_string(options_.timeoutMs) + " ms" +
               (tries > 1 ? " to any of " + std::to_string(tries) + " copies" : ""),
           true);
      if (silent) {
        EndRun(Ending::kStopped);
        std::fprintf(log_, "sim: the host stopped answering: no reply for %lld ms\n",
                     static_cast<long long>(SilenceWindow().count()));
      }
      return false;
    }
    answered_ = true;
    quietSince_ = Clock::now();
    const std::optional<std::size_t> owner = DeviceOf(reply_);
    if (owner && *owner != device) {
      Stray(*owner, reply_);  // another device on this socket has nothing outstanding
      continue;
    }
    if (IsLate(device, reply_)) {
      continue;
    }
    const ReplyCheck check =
        CheckReply(packet.request, reply_, {&devices_[device].uploaded, std::time(nullptr)});
    if (check.ok) {
      Verified(device, packet, check);
      if (tries > 1) {
        AllowLate(device, packet, tries - 1);
      }
      Note(device, packet,
           std::string("<- ") + ReplyName(check.reply.kind) + " (" + std::to_string(reply_.size()) +
               " bytes) verified" + (tries > 1 ? ", copy " + std::to_string(tries) : ""),
           false);
      return true;
    }
    if (afterSpoiled) {
      // Taken as the answer to the spoiled copy; the good copy's reply may still come.
      ++stats_.unexpected;
      afterSpoiled = false;
      Note(device, packet, "a spoiled packet was answered: " + check.problem, true);
      continue;
    }
    ++stats_.failed;
    Note(device, packet, "reply FAILED: " + check.problem, true);
    return false;
  }
}

void Simulator::Verified(std::size_t device, const Pending& packet, const ReplyCheck& check) {
  ++stats_.verified;
  ++stats_.replies[static_cast<std::size_t>(check.reply.kind)];
  DeviceState& d = devices_[device];
  ApplyReply(d, check.reply);
  for (std::size_t k = 0; k < packet.events && options_.logEvents; ++k) {
    d.eventLog[packet.firstEvent + k].verified = true;
  }
}

// A reply for a device that has nothing outstanding.
void Simulator::Stray(std::size_t device, const Bytes& reply) {
  if (IsLate(device, reply)) {
    return;
  }
  ++stats_.unexpected;
  std::fprintf(log_, "sim: device %zu: unexpected reply of %zu bytes\n", device + 1, reply.size());
}

// True for a reply to a copy of a resent packet that has been answered or given up already:
// the host answered more than one copy.
bool Simulator::IsLate(std::size_t device, const Bytes& reply) {
  LateAllowance& late = late_[device];
  devicekit::Block plain{};
  if (late.left == 0 || reply.size() < kHeadLength || !devicekit::OpenReply(reply.data(), plain) ||
      !std::equal(late.tail.begin(), late.tail.end(), plain.begin() + 8)) {
    return false;
  }
  --late.left;
  ++stats_.late;
  return true;
}

void Simulator::AllowLate(std::size_t device, const Pending& packet, unsigned copies) {
  LateAllowance& late = late_[device];
  std::copy_n(packet.request.begin() + wire::kBlockTail, late.tail.size(), late.tail.begin());
  late.left = copies;
}

std::optional<std::size_t> Simulator::DeviceOf(const Bytes& reply) const {
  if (reply.size() < wire::kSerial + wire::kSerialLength) {
    return std::nullopt;
  }
  const auto found = bySerial_.find(GetBigEndian(&reply[wire::kSerial], wire::kSerialLength));
  if (found == bySerial_.end()) {
    return std::nullopt;
  }
  return found->second;
}

bool Simulator::Stopping() {
  if (options_.stop != nullptr && *options_.stop != 0) {
    EndRun(Ending::kSignal);
  }
  return stats_.ending != Ending::kFinished;
}

std::chrono::milliseconds Simulator::SilenceWindow() const {
  return std::max(std::chrono::milliseconds(kSilenceFloorMs),
                  std::chrono::milliseconds(options_.timeoutMs) * (options_.retries + 1));
}

bool Simulator::StoppedAnswering(Clock::time_point now) {
  if (outstanding_ == 0 || !HostSilent(now)) {
    return false;
  }
  EndRun(Ending::kStopped);
  std::fprintf(log_, "sim: the host stopped answering: no reply for %lld ms\n",
               static_cast<long long>(SilenceWindow().count()));
  return true;
}

bool Simulator::HostSilent(Clock::time_point now) const {
  return now - quietSince_ >= SilenceWindow();
}

void Simulator::EndRun(Ending ending) {
  if (stats_.ending == Ending::kFinished) {
    stats_.ending = ending;
  }
}

// Replies nobody asked for (a second reply to one packet) arrive after the run.
void Simulator::Drain() {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kDrainMs);
  for (const auto& link : links_) {
    for (;;) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (link->Await(
              static_cast<int>(std::max<std::int64_t>(0, static_cast<std::int64_t>(left.count()))),
              reply_) != Receive::kReply) {
        break;
      }
      const std::optional<std::size_t> owner = DeviceOf(reply_);
      if (owner && IsLate(*owner, reply_)) {
        continue;
      }
      ++stats_.unexpected;
      if (owner) {
        std::fprintf(log_, "sim: device %zu: unexpected extra reply of %zu bytes\n", *owner + 1,
                     reply_.size());
      } else {
        std::fprintf(log_, "sim: unexpected reply of %zu bytes for no device\n", reply_.size());
      }
    }
  }
}

void Simulator::Note(std::size_t device, const Pending& packet, const std::string& outcome,
                     bool failure) {
  if ((options_.quiet || options_.loadSeconds > 0) && !failure) {
    return;
  }
  if (options_.loadSeconds > 0 && ++loadNotes_ > kMaxLoadNotes) {
    if (loadNotes_ == kMaxLoadNotes + 1) {
      std::fprintf(log_, "sim: further failures are counted, not shown\n");
    }
    return;
  }
  const DeviceState& d = devices_[device];
  std::fprintf(log_, "sim: device %zu %-7s %014llX -> %-26s %4zu bytes  %s\n", device + 1,
               d.IsLegacy() ? "legacy" : "current", static_cast<unsigned long long>(d.serial),
               FamilyName(packet.family), packet.request.size(), outcome.c_str());
}

// ---- Load mode ----

std::unique_ptr<Poller> Simulator::LoadPoller() {
  std::vector<int> descriptors;
  for (const auto& link : links_) {
    descriptors.push_back(link->Descriptor());
  }
  // Sockets are waited on together; links without a descriptor (in-process hosts) are asked.
  if (std::find(descriptors.begin(), descriptors.end(), -1) != descriptors.end()) {
    return nullptr;
  }
  return MakePoller(descriptors);
}

bool Simulator::TakeReplies(Poller* poller, Clock::time_point wake, bool sleepWithoutPoller,
                            void (Simulator::*onReply)(const Bytes&)) {
  const auto wait = std::chrono::ceil<std::chrono::microseconds>(wake - Clock::now());
  if (poller != nullptr) {
    poller->Wait(std::max(wait, std::chrono::microseconds(0)), ready_);
  } else {
    if (sleepWithoutPoller && wait.count() > 0) {
      std::this_thread::sleep_for(std::min(wait, std::chrono::microseconds(1000)));
    }
    ready_.clear();
    for (std::uint32_t i = 0; i < links_.size(); ++i) {
      ready_.push_back(i);
    }
  }
  for (std::uint32_t link : ready_) {
    // A bounded number per socket, so that one busy socket does not starve the others.
    for (unsigned n = 0; n < kLoadReadsPerWake; ++n) {
      const Receive got = links_[link]->Await(0, reply_);
      if (got == Receive::kTimeout) {
        break;
      }
      if (got == Receive::kUnreachable) {
        stats_.unreachable = true;
        EndRun(answered_ ? Ending::kStopped : Ending::kUnreachable);
        std::fprintf(log_, "sim: %s\n",
                     answered_ ? "the host stopped answering: its port is closed now"
                               : "host unreachable (nothing listens on its port)");
        return false;
      }
      answered_ = true;
      quietSince_ = lastReply_ = Clock::now();
      (this->*onReply)(reply_);
    }
  }
  return true;
}

Stats Simulator::RunLoad() {
  if (options_.rate > 0) {
    return RunOpenLoad();
  }
  const Clock::time_point start = Clock::now();
  const Clock::time_point sendUntil = start + std::chrono::seconds(options_.loadSeconds);
  lastReply_ = start;
  exchanges_.resize(devices_.size());
  timers_.reserve(2 * devices_.size());
  const std::unique_ptr<Poller> poller = LoadPoller();
  for (std::size_t device = 0; device < devices_.size() && !Stopping(); ++device) {
    SendNext(device);
  }
  while (!Stopping()) {
    Clock::time_point now = Clock::now();
    if (!sendingOver_ && now >= sendUntil) {
      sendingOver_ = true;  // what is outstanding may still be answered until its timer runs out
    }
    while (timerHead_ < timers_.size() && timers_[timerHead_].deadline <= now) {
      const Timer timer = timers_[timerHead_++];
      const Exchange& exchange = exchanges_[timer.device];
      if (exchange.active && exchange.token == timer.token) {
        OnLoadTimeout(timer.device);
      }
    }
    DropConsumed(timers_, timerHead_);
    if (sendingOver_ && outstanding_ == 0) {
      break;
    }
    if (StoppedAnswering(now)) {
      break;
    }
    Clock::time_point wake = now + std::chrono::milliseconds(kLoadWakeMs);
    if (!sendingOver_) {
      wake = std::min(wake, sendUntil);
    }
    if (timerHead_ < timers_.size()) {
      wake = std::min(wake, timers_[timerHead_].deadline);
    }
    if (!TakeReplies(poller.get(), wake, false, &Simulator::OnLoadReply)) {
      break;
    }
  }
  const Clock::time_point end = Clock::now();
  if (stats_.ending == Ending::kStopped || stats_.ending == Ending::kUnreachable) {
    stats_.missing += static_cast<unsigned>(outstanding_);  // they will not be answered now
  }
  const double sent = std::chrono::duration<double>(lastReply_ - start).count();
  stats_.loadElapsedSeconds = sendingOver_
                                  ? std::max(sent, static_cast<double>(options_.loadSeconds))
                                  : std::chrono::duration<double>(end - start).count();
  return stats_;
}

// What the device sends next: its configuration first, then what the traffic asks for.
Family Simulator::NextFamily(std::size_t device) {
  Exchange& exchange = exchanges_[device];
  if (options_.traffic == Traffic::kMixed) {
    if (exchange.plan.empty()) {
      for (const Step& step : Script(device, exchange.round++)) {
        exchange.plan.push_back(step.family);
      }
      std::reverse(exchange.plan.begin(), exchange.plan.end());
    }
    const Family family = exchange.plan.back();
    exchange.plan.pop_back();
    return family;
  }
  if (exchange.round++ == 0) {
    return Family::kConfig;
  }
  return options_.traffic == Traffic::kPolls ? Family::kPoll : Family::kEvents;
}

void Simulator::SendNext(std::size_t device) {
  Exchange& exchange = exchanges_[device];
  exchange.packet = Make(device, NextFamily(device));
  exchange.tries = 1;
  exchange.active = true;
  ++exchange.token;
  exchange.sentAt = Clock::now();
  SendValid(device, exchange.packet);
  timers_.push_back({exchange.sentAt + std::chrono::milliseconds(options_.timeoutMs),
                     static_cast<std::uint32_t>(device), exchange.token});
  ++outstanding_;
}

void Simulator::OnLoadReply(const Bytes& reply) {
  const std::optional<std::size_t> owner = DeviceOf(reply);
  if (!owner) {
    ++stats_.unexpected;
    if (++loadNotes_ <= kMaxLoadNotes) {
      std::fprintf(log_, "sim: unexpected reply of %zu bytes for no device\n", reply.size());
    }
    return;
  }
  const std::size_t device = *owner;
  Exchange& exchange = exchanges_[device];
  if (!exchange.active) {
    Stray(device, reply);
    return;
  }
  if (IsLate(device, reply)) {
    return;
  }
  const ReplyCheck check =
      CheckReply(exchange.packet.request, reply, {&devices_[device].uploaded, std::time(nullptr)});
  if (check.ok) {
    Verified(device, exchange.packet, check);
    const auto latency =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - exchange.sentAt);
    stats_.latenciesUs.push_back(static_cast<std::uint32_t>(
        std::min<std::int64_t>(latency.count(), std::numeric_limits<std::uint32_t>::max())));
    if (exchange.tries > 1) {
      AllowLate(device, exchange.packet, exchange.tries - 1);
    }
  } else {
    ++stats_.failed;
    Note(device, exchange.packet, "reply FAILED: " + check.problem, true);
  }
  Finish(device);
}

void Simulator::OnLoadTimeout(std::size_t device) {
  Exchange& exchange = exchanges_[device];
  if (!sendingOver_ && exchange.tries <= options_.retries) {
    ++exchange.tries;
    ++stats_.retries;
    LinkOf(device).Send(exchange.packet.wire);
    timers_.push_back({Clock::now() + std::chrono::milliseconds(options_.timeoutMs),
                       static_cast<std::uint32_t>(device), exchange.token});
    return;
  }
  ++stats_.missing;
  AllowLate(device, exchange.packet, exchange.tries);
  Note(device, exchange.packet,
       "no reply within " + std::to_string(options_.timeoutMs) + " ms" +
           (exchange.tries > 1 ? " to any of " + std::to_string(exchange.tries) + " copies" : ""),
       true);
  Finish(device);
}

// The device's packet is done with; it sends its next one while the load lasts.
void Simulator::Finish(std::size_t device) {
  exchanges_[device].active = false;
  --outstanding_;
  if (!sendingOver_ && !Stopping()) {
    SendNext(device);
  }
}

// ---- Open loop ----
//
// Every device first announces itself, its configuration answered (at most kAnnounceWindow
// outstanding at a time); then the schedule starts: packet k is due at start + k / rate and goes
// from device k % devices, so each device sends at rate / devices with the devices' phases
// evenly staggered. A packet goes when it is due whatever came back: a device may have several
// outstanding, each told apart by its sequence number in block bytes 8..11, which its reply
// carries back. A sender behind schedule sends what is due at once. Latency and the timeout run
// from the time a packet was due, not from when it went, so that a late sender does not hide
// the wait it caused (no coordinated omission); a packet is sent once, never again.

Stats Simulator::RunOpenLoad() {
  const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  (void)prctl(PR_SET_TIMERSLACK, kOpenLoopSlackNs, 0, 0, 0);  // wake when a packet is due
  const double rate = options_.rate;
  const std::uint64_t total = static_cast<std::uint64_t>(options_.loadSeconds) * options_.rate;
  auto dueAt = [&](Clock::time_point start, std::uint64_t k) {
    return start + std::chrono::duration_cast<Clock::duration>(
                       std::chrono::duration<double>(static_cast<double>(k) / rate));
  };
  const Clock::time_point begin = Clock::now();
  Clock::time_point start = begin;
  Clock::time_point lastSend = begin;
  lastReply_ = begin;
  exchanges_.resize(devices_.size());
  inFlight_.reserve(std::min<std::uint64_t>(total, 1u << 20) + devices_.size());
  const std::unique_ptr<Poller> poller = LoadPoller();
  std::size_t announced = 0;
  bool announcing = true;
  std::uint64_t next = 0;  // the schedule's next packet
  while (!Stopping()) {
    Clock::time_point now = Clock::now();
    if (announcing) {
      while (announced < devices_.size() && outstanding_ < kAnnounceWindow) {
        SendScheduled(announced++, now, true);
      }
      if (announced == devices_.size() && outstanding_ == 0) {
        announcing = false;
        start = lastSend = lastReply_ = now;
      }
    }
    if (!announcing) {
      for (; next < total && dueAt(start, next) <= now; ++next) {
        SendScheduled(static_cast<std::size_t>(next % devices_.size()), dueAt(start, next), false);
        lastSend = Clock::now();
      }
      sendingOver_ = next == total;
      now = Clock::now();
    }
    while (timerHead_ < timers_.size() && timers_[timerHead_].deadline <= now) {
      OnOpenTimeout(timers_[timerHead_++].token);
    }
    DropConsumed(timers_, timerHead_);
    while (expiredHead_ < expired_.size() && expired_[expiredHead_].first <= now) {
      inFlight_.erase(expired_[expiredHead_++].second);
    }
    DropConsumed(expired_, expiredHead_);
    if (sendingOver_ && outstanding_ == 0) {
      break;
    }
    if (StoppedAnswering(now)) {
      break;
    }
    Clock::time_point wake = now + std::chrono::milliseconds(kLoadWakeMs);
    if (!announcing && next < total) {
      // Packets due within a tick of each other go together, a tick late at most: a wake per
      // packet would cost the sender more than the packets.
      wake = std::min(wake, std::max(dueAt(start, next), now + kOpenLoopTick));
    }
    if (timerHead_ < timers_.size()) {
      wake = std::min(wake, timers_[timerHead_].deadline);
    }
    if (!TakeReplies(poller.get(), wake, true, &Simulator::OnOpenReply)) {
      break;
    }
  }
  const Clock::time_point end = Clock::now();
  if (stats_.ending == Ending::kStopped || stats_.ending == Ending::kUnreachable) {
    stats_.missing += static_cast<unsigned>(outstanding_);  // they will not be answered now
  }
  if (announcing) {
    stats_.loadElapsedSeconds = std::chrono::duration<double>(end - begin).count();
  } else {
    const double replied = std::chrono::duration<double>(lastReply_ - start).count();
    stats_.loadElapsedSeconds = sendingOver_
                                    ? std::max(replied, static_cast<double>(options_.loadSeconds))
                                    : std::chrono::duration<double>(end - start).count();
  }
  stats_.scheduledSent = next;
  if (next > 0) {
    // The span the packets sent cover, the last one's slot included: the offered rate when the
    // sender kept up, less when it fell behind.
    const double span = std::chrono::duration<double>(lastSend - start).count() + 1.0 / rate;
    stats_.sendRate = static_cast<double>(next) / std::max(span, static_cast<double>(next) / rate);
  }
  if (slack > 0) {
    (void)prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack), 0, 0, 0);
  }
  return stats_;
}

void Simulator::SendScheduled(std::size_t device, Clock::time_point due, bool announce) {
  Scheduled packet;
  packet.packet = Make(device, NextFamily(device));
  packet.due = due;
  packet.device = static_cast<std::uint32_t>(device);
  packet.announce = announce;
  const auto sequence =
      static_cast<std::uint32_t>(GetBigEndian(&packet.packet.request[wire::kBlockTail], 4));
  if (outstanding_ == 0) {
    quietSince_ = Clock::now();  // the host's silence counts from here
  }
  SendValid(device, packet.packet);
  timers_.push_back({due + std::chrono::milliseconds(options_.timeoutMs), packet.device, sequence});
  inFlight_.insert_or_assign(sequence, std::move(packet));
  ++outstanding_;
}

void Simulator::OnOpenReply(const Bytes& reply) {
  const std::optional<std::size_t> owner = DeviceOf(reply);
  if (!owner) {
    ++stats_.unexpected;
    if (++loadNotes_ <= kMaxLoadNotes) {
      std::fprintf(log_, "sim: unexpected reply of %zu bytes for no device\n", reply.size());
    }
    return;
  }
  devicekit::Block plain{};
  if (reply.size() < kHeadLength || !devicekit::OpenReply(reply.data(), plain)) {
    // It names no packet, which then times out.
    ++stats_.failed;
    if (++loadNotes_ <= kMaxLoadNotes) {
      std::fprintf(log_, "sim: device %zu: a reply of %zu bytes that does not open\n", *owner + 1,
                   reply.size());
    }
    return;
  }
  const auto sequence = static_cast<std::uint32_t>(GetBigEndian(&plain[8], 4));
  const auto found = inFlight_.find(sequence);
  if (found == inFlight_.end()) {
    ++stats_.unexpected;  // answered twice, or a packet never sent
    if (++loadNotes_ <= kMaxLoadNotes) {
      std::fprintf(log_, "sim: device %zu: unexpected reply of %zu bytes\n", *owner + 1,
                   reply.size());
    }
    return;
  }
  Scheduled& packet = found->second;
  if (packet.expired) {
    ++stats_.late;  // after its timeout: counted missing already
    inFlight_.erase(found);
    return;
  }
  const ReplyCheck check = CheckReply(packet.packet.request, reply,
                                      {&devices_[packet.device].uploaded, std::time(nullptr)});
  if (check.ok) {
    Verified(packet.device, packet.packet, check);
    if (!packet.announce) {
      const auto latency =
          std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - packet.due);
      stats_.latenciesUs.push_back(static_cast<std::uint32_t>(
          std::clamp<std::int64_t>(latency.count(), 0, std::numeric_limits<std::uint32_t>::max())));
    }
  } else {
    ++stats_.failed;
    Note(packet.device, packet.packet, "reply FAILED: " + check.problem, true);
  }
  inFlight_.erase(found);
  --outstanding_;
}

void Simulator::OnOpenTimeout(std::uint32_t sequence) {
  const auto found = inFlight_.find(sequence);
  if (found == inFlight_.end() || found->second.expired) {
    return;  // answered
  }
  Scheduled& packet = found->second;
  ++stats_.missing;
  Note(packet.device, packet.packet,
       "no reply within " + std::to_string(options_.timeoutMs) + " ms of its due time", true);
  packet.expired = true;
  --outstanding_;
  // A reply within another timeout counts as late; after that it is unexpected.
  expired_.emplace_back(Clock::now() + std::chrono::milliseconds(options_.timeoutMs), sequence);
}

void PrintSummary(std::FILE* out, const Options& options, const Stats& stats) {
  const unsigned legacy = options.devices / 2;
  if (options.loadSeconds > 0) {
    std::fprintf(out, "velkor-sim: %u devices (%u current, %u legacy), %u s of load%s, seed %llu\n",
                 options.devices, options.devices - legacy, legacy, options.loadSeconds,
                 options.rate > 0
                     ? (", open loop at " + std::to_string(options.rate) + " packets/s").c_str()
                     : "",
                 static_cast<unsigned long long>(options.seed));
  } else {
    std::fprintf(out, "velkor-sim: %u devices (%u current, %u legacy), %u rounds, seed %llu\n",
                 options.devices, options.devices - legacy, legacy, options.rounds,
                 static_cast<unsigned long long>(options.seed));
  }
  std::fprintf(out, "  packets sent %u:", stats.Sent());
  for (std::size_t i = 0; i < kFamilies; ++i) {
    if (stats.sent[i] > 0) {
      std::fprintf(out, " %s %u,", kFamilyNames[i], stats.sent[i]);
    }
  }
  unsigned faults = 0;
  for (unsigned count : stats.faults) {
    faults += count;
  }
  std::fprintf(out, "\n  events reported %u\n  faults injected %u:", stats.eventsReported, faults);
  for (std::size_t i = 0; i < kFaultKinds; ++i) {
    std::fprintf(out, " %s %u,", kFaultNames[i], stats.faults[i]);
  }
  std::fprintf(out, " spoiled packets answered %u\n", stats.unexpected);
  std::fprintf(out, "  replies by kind:");
  for (std::size_t i = 0; i < kReplyKinds; ++i) {
    if (stats.replies[i] > 0) {
      std::fprintf(out, " %s %u,", ReplyName(static_cast<ReplyKind>(i)), stats.replies[i]);
    }
  }
  std::fprintf(out, "\n  replies verified %u of %u, failed %u, missing %u\n", stats.verified,
               stats.Sent(), stats.failed, stats.missing);
  if (options.retries > 0) {
    std::fprintf(out, "  packets sent again %u, late replies to earlier copies %u\n", stats.retries,
                 stats.late);
  } else if (options.rate > 0) {
    std::fprintf(out, "  replies after their packet's timeout %u\n", stats.late);
  }
  const char* verdict = "FAILED";
  if (stats.ending == Ending::kSignal) {
    verdict = "stopped by a signal";
  } else if (stats.ending == Ending::kStopped) {
    verdict = "FAILED: host stopped answering";
  } else if (stats.unreachable) {
    verdict = "FAILED: host unreachable";
  } else if (stats.Passed()) {
    verdict = "every reply verified";
  }
  std::fprintf(out, "velkor-sim: %s\n", verdict);
}

std::string LoadLine(const Options& options, const Stats& stats) {
  std::vector<std::uint32_t> sorted = stats.latenciesUs;
  std::sort(sorted.begin(), sorted.end());
  // Nearest rank: the smallest latency that `permille` of the exchanges do not exceed.
  auto rank = [&sorted](unsigned permille) -> unsigned long long {
    if (sorted.empty()) {
      return 0;
    }
    const std::uint64_t n = sorted.size();
    return sorted[static_cast<std::size_t>((n * permille + 999) / 1000 - 1)];
  };
  const double rate = stats.loadElapsedSeconds > 0
                          ? static_cast<double>(sorted.size()) / stats.loadElapsedSeconds
                          : 0.0;
  char line[320];
  int length = std::snprintf(
      line, sizeof line,
      "velkor-sim: load %u s, %llu exchanges, %.1f exchanges/s, latency p50 %llu us, p99 %llu us, "
      "p99.9 %llu us, max %llu us",
      options.loadSeconds, static_cast<unsigned long long>(sorted.size()), rate, rank(500),
      rank(990), rank(999), rank(1000));
  if (options.rate > 0 && length > 0 && static_cast<std::size_t>(length) < sizeof line) {
    std::snprintf(line + length, sizeof line - static_cast<std::size_t>(length),
                  ", offered %u packets/s, sent %.1f packets/s", options.rate, stats.sendRate);
  }
  return line;
}

}  // namespace velkor::sim
