#include "Simulator.h"

#include <algorithm>
#include <chrono>
#include <ctime>
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

const char* const kFamilyNames[kFamilies] = {
    "configuration (0xFF)",     "module packet (0xFA)", "firmware (0xFC)",
    "event report (0x01)",      "poll (0x02)",          "card list (0xF8)",
    "group list (0xF6)",        "schedule list (0xF4)", "finger upload (0xE8)",
    "finger request (0xEA)",    "voice request (0xF2)", "reader mode report (0xEE)",
    "finger mode report (0xEC)"};
const char* const kFaultNames[kFaultKinds] = {"corrupt-block", "wrong-serial", "truncated",
                                              "duplicate", "burst"};

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
  device.serial = rng.Next() & 0x00FFFFFFFFFFFFFFull;
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
  for (std::size_t i = 0; i < options_.devices; ++i) {
    devices_.push_back(MakeDevice(rng_, i));
    links_.push_back(connect(i));
    auto& rounds = faultRounds_.emplace_back();
    for (unsigned& round : rounds) {
      round = rng_.Below(std::max(1u, options_.rounds));
    }
  }
}

Stats Simulator::Run() {
  for (unsigned round = 0; round < options_.rounds; ++round) {
    for (std::size_t device = 0; device < devices_.size(); ++device) {
      for (const Step& step : Script(device, round)) {
        RunStep(device, step);
        if (stats_.unreachable) {
          return stats_;
        }
        if (options_.intervalMs > 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(options_.intervalMs));
        }
      }
    }
  }
  Drain();
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
      burst.push_back({Build(device, family), family});
      SendValid(device, burst.back());
    }
    for (const Pending& packet : burst) {
      AwaitReply(device, packet, false);
    }
    return;
  }
  const Pending packet{Build(device, step.family), step.family};
  if (step.fault && IsRefused(*step.fault)) {
    // The spoiled copy goes first and must go unanswered: the first reply is the good copy's.
    ++stats_.faults[static_cast<std::size_t>(*step.fault)];
    const Bytes spoiled = Spoil(packet.request, *step.fault, step.family);
    links_[device]->Send(spoiled);
    Note(device, packet, std::string("spoiled copy sent first: ") + FaultName(*step.fault), false);
    SendValid(device, packet);
    AwaitReply(device, packet, true);
    return;
  }
  SendValid(device, packet);
  if (step.fault == Fault::kDuplicate) {
    ++stats_.faults[static_cast<std::size_t>(Fault::kDuplicate)];
    SendValid(device, packet);
    AwaitReply(device, packet, false);
  }
  AwaitReply(device, packet, false);
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
      for (unsigned i = 1 + rng_.Below(kMaxEventsPerPacket); i > 0; --i) {
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
      return FingerUploadPacket(d, slot, data);
    }
    case Family::kFingerRequest: {
      std::uint8_t slot = static_cast<std::uint8_t>(rng_.Below(kTemplateSlots));
      if (!uploaded_.empty()) {
        auto known = uploaded_.begin();
        std::advance(known, rng_.Below(static_cast<std::uint32_t>(uploaded_.size())));
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
  Bytes wire = packet.request;
  SealDevicePacket(wire);
  links_[device]->Send(wire);
  ++stats_.sent[static_cast<std::size_t>(packet.family)];
  if (packet.family == Family::kEvents) {
    stats_.eventsReported += packet.request[kPayload];
  } else if (packet.family == Family::kFingerUpload) {
    Template& data = uploaded_[packet.request[kPayload]];
    std::copy_n(packet.request.begin() + kPayload + 2, kTemplateLength, data.begin());
  }
}

bool Simulator::AwaitReply(std::size_t device, const Pending& packet, bool afterSpoiled) {
  for (;;) {
    Bytes reply;
    const Receive got = links_[device]->Await(options_.timeoutMs, reply);
    if (got == Receive::kUnreachable) {
      stats_.unreachable = true;
      Note(device, packet, "host unreachable (nothing listens on its port)", true);
      return false;
    }
    if (got == Receive::kTimeout) {
      ++stats_.missing;
      Note(device, packet, "no reply within " + std::to_string(options_.timeoutMs) + " ms", true);
      return false;
    }
    const ReplyCheck check = CheckReply(packet.request, reply, {&uploaded_, std::time(nullptr)});
    if (check.ok) {
      ++stats_.verified;
      ++stats_.replies[static_cast<std::size_t>(check.reply.kind)];
      ApplyReply(devices_[device], check.reply);
      Note(device, packet,
           std::string("<- ") + ReplyName(check.reply.kind) + " (" + std::to_string(reply.size()) +
               " bytes) verified",
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

// Replies nobody asked for (a second reply to one packet) arrive after the run.
void Simulator::Drain() {
  for (std::size_t device = 0; device < links_.size(); ++device) {
    Bytes reply;
    while (links_[device]->Await(kDrainMs, reply) == Receive::kReply) {
      ++stats_.unexpected;
      std::fprintf(log_, "sim: device %zu: unexpected extra reply of %zu bytes\n", device + 1,
                   reply.size());
    }
  }
}

void Simulator::Note(std::size_t device, const Pending& packet, const std::string& outcome,
                     bool failure) {
  if (options_.quiet && !failure) {
    return;
  }
  const DeviceState& d = devices_[device];
  std::fprintf(log_, "sim: device %zu %-7s %014llX -> %-26s %4zu bytes  %s\n", device + 1,
               d.IsLegacy() ? "legacy" : "current", static_cast<unsigned long long>(d.serial),
               FamilyName(packet.family), packet.request.size(), outcome.c_str());
}

void PrintSummary(std::FILE* out, const Options& options, const Stats& stats) {
  const unsigned legacy = options.devices / 2;
  std::fprintf(out, "velkor-sim: %u devices (%u current, %u legacy), %u rounds, seed %llu\n",
               options.devices, options.devices - legacy, legacy, options.rounds,
               static_cast<unsigned long long>(options.seed));
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
  std::fprintf(out, "velkor-sim: %s\n",
               stats.unreachable ? "FAILED: host unreachable"
               : stats.Passed()  ? "every reply verified"
                                 : "FAILED");
}

}  // namespace velkor::sim
