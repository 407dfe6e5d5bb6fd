// The simulated devices and their run: each device speaks first, round after round, sends
// every packet family of its generation, waits for the host's reply to each packet, checks it
// and applies it to its state. Faults are injected on request.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DeviceCodec.h"
#include "DeviceState.h"
#include "Rng.h"
#include "Transport.h"

namespace velkor::sim {

// What a device sends.
enum class Family {
  kConfig,            // 0xFF
  kModule,            // 0xFA, legacy devices
  kFirmware,          // 0xFC
  kEvents,            // 0x01
  kPoll,              // 0x02
  kCardList,          // 0xF8
  kGroupList,         // 0xF6
  kScheduleList,      // 0xF4
  kFingerUpload,      // 0xE8, current devices
  kFingerRequest,     // 0xEA, current devices
  kVoiceRequest,      // 0xF2, legacy devices
  kReaderModeReport,  // 0xEE
  kFingerModeReport,  // 0xEC, current devices
};
inline constexpr std::size_t kFamilies = 13;
const char* FamilyName(Family family);

// Faults on request. The first three spoil a packet, which the host must refuse without a
// reply; the last two are delivery faults whose every packet is valid and must be answered.
enum class Fault { kCorruptBlock, kWrongSerial, kTruncated, kDuplicate, kBurst };
inline constexpr std::size_t kFaultKinds = 5;
const char* FaultName(Fault fault);
std::optional<Fault> ParseFault(std::string_view name);
inline bool IsRefused(Fault fault) {
  return fault == Fault::kCorruptBlock || fault == Fault::kWrongSerial ||
         fault == Fault::kTruncated;
}

struct Options {
  std::string host = "127.0.0.1";
  std::uint16_t port = 47810;
  unsigned devices = 2;
  unsigned rounds = 3;
  std::uint64_t seed = 1;
  std::vector<Fault> faults;
  int timeoutMs = 1000;
  int intervalMs = 0;  // pause between exchanges
  bool quiet = false;
};

struct Stats {
  std::array<unsigned, kFamilies> sent{};  // valid packets, by family (every copy)
  std::array<unsigned, kFaultKinds> faults{};
  std::array<unsigned, kReplyKinds> replies{};  // verified replies, by kind
  unsigned verified = 0;
  unsigned failed = 0;      // replies that did not pass the device's checks
  unsigned missing = 0;     // valid packets that got no reply in time
  unsigned unexpected = 0;  // replies to spoiled packets
  unsigned eventsReported = 0;
  bool unreachable = false;  // the host's port is closed

  unsigned Sent() const;
  bool Passed() const { return failed == 0 && missing == 0 && unexpected == 0 && !unreachable; }
};

class Simulator {
 public:
  using Connect = std::function<std::unique_ptr<Transport>(std::size_t device)>;

  // `log` receives one line per exchange (nothing when quiet) and every failure.
  Simulator(const Options& options, const Connect& connect, std::FILE* log);

  Stats Run();
  const std::vector<DeviceState>& Devices() const { return devices_; }

 private:
  struct Step {
    Family family;
    std::optional<Fault> fault;
  };
  struct Pending {
    Bytes request;  // the plain packet as built
    Family family;
  };

  std::vector<Step> Script(std::size_t device, unsigned round);
  void AddFaults(std::vector<Step>& steps, bool currentDevice);
  void RunStep(std::size_t device, const Step& step);
  Bytes Build(std::size_t device, Family family);
  Bytes Spoil(const Bytes& plain, Fault fault, Family family);
  void SendValid(std::size_t device, const Pending& packet);
  bool AwaitReply(std::size_t device, const Pending& packet, bool afterSpoiled);
  void Note(std::size_t device, const Pending& packet, const std::string& outcome, bool failure);
  void Drain();

  Options options_;
  Rng rng_;
  std::FILE* log_;
  std::vector<DeviceState> devices_;
  std::vector<std::unique_ptr<Transport>> links_;
  std::map<std::uint8_t, Template> uploaded_;  // templates the devices uploaded, by slot
  std::vector<std::array<unsigned, kFaultKinds>> faultRounds_;  // the round of each fault
  std::uint32_t sequence_ = 0;
  Stats stats_;
};

// A device of either generation with a card list, groups, schedules and modes drawn from `rng`.
DeviceState MakeDevice(Rng& rng, std::size_t index);

// An event record mixing kinds and code groups; `number` is its sequence number.
Event MakeEvent(Rng& rng, bool legacy, std::uint64_t number);

// The summary lines printed at the end of a run.
void PrintSummary(std::FILE* out, const Options& options, const Stats& stats);

}  // namespace velkor::sim
