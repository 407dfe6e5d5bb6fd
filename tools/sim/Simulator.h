// The simulated devices and their run: each device speaks first, round after round, sends
// every packet family of its generation, waits for the host's reply to each packet, checks it
// and applies it to its state. Faults are injected on request. In load mode every device keeps
// one packet outstanding for a given time instead, all devices at once (closed loop), or the
// fleet sends on a fixed schedule whatever the replies (open loop).
#pragma once

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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

// What a device sends in load mode after its first packet, the configuration.
enum class Traffic { kMixed, kPolls, kEvents };

inline constexpr unsigned kMaxDevices = 10000;
inline constexpr unsigned kMaxRetries = 10;
inline constexpr unsigned kMaxEventsPerReport = 32;
inline constexpr unsigned kMaxRate = 1000000;  // packets a second, the whole fleet

struct Options {
  std::string host = "127.0.0.1";
  std::uint16_t port = 47810;
  std::string bind;  // local IPv4 address of the devices' sockets; empty: any
  unsigned devices = 2;
  unsigned sockets =
      0;  // sockets the devices share (device i uses i % sockets); 0: min(devices, 64)
  unsigned rounds = 3;
  std::uint64_t seed = 1;
  std::uint64_t fleetSeed = 0;  // the devices' identities alone from this seed; 0: from `seed`
  std::vector<Fault> faults;
  int timeoutMs = 1000;
  int intervalMs = 0;        // pause between exchanges
  unsigned retries = 0;      // resends of a valid packet whose reply does not come in time
  unsigned loadSeconds = 0;  // load mode when above 0
  // Open loop when above 0 (load mode only): the fleet's packets a second, packet k of the
  // schedule due at start + k / rate and sent by device k % devices, whatever the replies.
  unsigned rate = 0;
  Traffic traffic = Traffic::kMixed;
  unsigned eventsPerReport = 0;  // records per event report; 0: 1..5 drawn per report
  bool quiet = false;
  bool logEvents = true;  // keep every event record reported, for the report
  // Set (by a signal handler) to stop the run: nothing more is sent and Run returns.
  const volatile std::sig_atomic_t* stop = nullptr;

  unsigned Sockets() const;
};

// How a run ended.
enum class Ending {
  kFinished,     // every round (or the load time) ran
  kSignal,       // stopped on request
  kStopped,      // the host stopped answering: its port closed, or it fell silent
  kUnreachable,  // the host's port was closed before it ever answered
};
const char* EndingName(Ending ending);

struct Stats {
  std::array<unsigned, kFamilies> sent{};  // valid packets, by family (every copy)
  std::array<unsigned, kFaultKinds> faults{};
  std::array<unsigned, kReplyKinds> replies{};  // verified replies, by kind
  unsigned verified = 0;
  unsigned failed = 0;      // replies that did not pass the device's checks
  unsigned missing = 0;     // valid packets that got no reply in time
  unsigned unexpected = 0;  // replies to spoiled packets
  unsigned eventsReported = 0;
  unsigned retries = 0;      // resent copies of packets whose reply did not come in time
  unsigned late = 0;         // replies to a resent packet's earlier copy, after its answer
  bool unreachable = false;  // the host's port is closed
  Ending ending = Ending::kFinished;

  // Load mode: exchanges with a verified reply, their latencies and the time they took.
  std::vector<std::uint32_t> latenciesUs;
  double loadElapsedSeconds = 0;
  // Open loop: the packets of the schedule sent, and the rate they went out at (below the
  // offered rate when the sender fell behind).
  std::uint64_t scheduledSent = 0;
  double sendRate = 0;

  unsigned Sent() const;
  bool Complete() const { return ending == Ending::kFinished; }
  bool Passed() const {
    return failed == 0 && missing == 0 && unexpected == 0 && !unreachable && Complete();
  }
};

class Simulator {
 public:
  // Opens socket number `socket` of Options::Sockets(); the devices share them.
  using Connect = std::function<std::unique_ptr<Transport>(std::size_t socket)>;

  // `log` receives one line per exchange (nothing when quiet, or in load mode) and every
  // failure.
  Simulator(const Options& options, const Connect& connect, std::FILE* log);

  // Rounds, or load mode when Options::loadSeconds is above 0.
  Stats Run();
  const std::vector<DeviceState>& Devices() const { return devices_; }
  const Options& Settings() const { return options_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Step {
    Family family;
    std::optional<Fault> fault;
  };
  struct Pending {
    Bytes request;  // the plain packet as built
    Bytes wire;     // sealed, as sent (and resent)
    Family family = Family::kPoll;
    std::size_t firstEvent = 0;  // its event records in the device's event log
    std::size_t events = 0;
  };
  // A device's one packet in load mode.
  struct Exchange {
    Pending packet;
    Clock::time_point sentAt;
    unsigned tries = 0;
    std::uint32_t token = 0;  // tells the current timer from those of earlier packets
    bool active = false;
    unsigned round = 0;
    std::vector<Family> plan;  // what the device sends next (mixed traffic), last first
  };
  struct Timer {
    Clock::time_point deadline;
    std::uint32_t device;
    std::uint32_t token;  // open loop: the packet's sequence number
  };
  // Open loop: a packet sent on schedule, until its reply comes or its time is up.
  struct Scheduled {
    Pending packet;
    Clock::time_point due;  // when it was to go: its latency and its timeout run from here
    std::uint32_t device = 0;
    bool announce = false;  // a configuration before the schedule: not in the load figures
    bool expired = false;   // given up; a reply now is late
  };
  // Replies that may still come for a resent packet that was answered or given up.
  struct LateAllowance {
    std::array<std::uint8_t, 6> tail{};
    unsigned left = 0;
  };

  Stats RunRounds();
  Stats RunLoad();
  Stats RunOpenLoad();
  std::vector<Step> Script(std::size_t device, unsigned round);
  void RunStep(std::size_t device, const Step& step);
  Pending Make(std::size_t device, Family family);
  Bytes Build(std::size_t device, Family family);
  Bytes Spoil(const Bytes& plain, Fault fault, Family family);
  void SendValid(std::size_t device, const Pending& packet);
  bool AwaitReply(std::size_t device, const Pending& packet, bool afterSpoiled);
  void Verified(std::size_t device, const Pending& packet, const ReplyCheck& check);
  void Stray(std::size_t device, const Bytes& reply);
  bool IsLate(std::size_t device, const Bytes& reply);
  void AllowLate(std::size_t device, const Pending& packet, unsigned copies);
  std::optional<std::size_t> DeviceOf(const Bytes& reply) const;
  Transport& LinkOf(std::size_t device) { return *links_[device % links_.size()]; }
  bool Stopping();
  std::chrono::milliseconds SilenceWindow() const;
  bool HostSilent(Clock::time_point now) const;
  // Load mode: ends the run when replies are owed and the host has been silent too long.
  bool StoppedAnswering(Clock::time_point now);
  // A queue read from `head`: the consumed front dropped once it is most of the queue.
  template <typename T>
  static void DropConsumed(std::vector<T>& queue, std::size_t& head) {
    if (head > 4096 && head * 2 > queue.size()) {
      queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(head));
      head = 0;
    }
  }
  void EndRun(Ending ending);
  void Note(std::size_t device, const Pending& packet, const std::string& outcome, bool failure);
  void Drain();

  // Load mode.
  std::unique_ptr<Poller> LoadPoller();
  // Waits until `wake` (or a reply) and hands each reply read to `onReply`; false when the
  // host's port reported closed and the run ended.
  bool TakeReplies(Poller* poller, Clock::time_point wake, bool sleepWithoutPoller,
                   void (Simulator::*onReply)(const Bytes&));
  Family NextFamily(std::size_t device);
  void SendNext(std::size_t device);
  void OnLoadReply(const Bytes& reply);
  void OnLoadTimeout(std::size_t device);
  void Finish(std::size_t device);
  void SendScheduled(std::size_t device, Clock::time_point due, bool announce);
  void OnOpenReply(const Bytes& reply);
  void OnOpenTimeout(std::uint32_t sequence);

  Options options_;
  Rng rng_;
  std::FILE* log_;
  std::vector<DeviceState> devices_;
  std::vector<std::unique_ptr<Transport>> links_;
  std::map<std::uint64_t, std::uint32_t> bySerial_;
  std::vector<std::array<unsigned, kFaultKinds>> faultRounds_;  // the round of each fault
  std::vector<LateAllowance> late_;
  std::uint32_t sequence_ = 0;
  Stats stats_;
  Bytes reply_;                   // the datagram being read
  bool answered_ = false;         // the host has answered at least once
  Clock::time_point quietSince_;  // the last reply, or the start of waiting for one

  // Load mode.
  std::vector<Exchange> exchanges_;
  std::vector<Timer> timers_;  // deadlines in the order they were set, from timerHead_
  std::size_t timerHead_ = 0;
  std::size_t outstanding_ = 0;
  bool sendingOver_ = false;
  unsigned loadNotes_ = 0;  // failure lines printed in load mode
  Clock::time_point lastReply_;
  std::vector<std::uint32_t> ready_;  // the sockets a wait found readable

  // Open loop: the packets in flight by sequence number (block bytes 8..11), and those given up
  // with when they are forgotten (a reply after that is unexpected).
  std::unordered_map<std::uint32_t, Scheduled> inFlight_;
  std::vector<std::pair<Clock::time_point, std::uint32_t>> expired_;
  std::size_t expiredHead_ = 0;
};

// A device of either generation with a card list, groups, schedules and modes drawn from `rng`.
DeviceState MakeDevice(Rng& rng, std::size_t index);

// An event record mixing kinds and code groups; `number` is its sequence number.
Event MakeEvent(Rng& rng, bool legacy, std::uint64_t number);

// The summary lines printed at the end of a run (and the load line in load mode).
void PrintSummary(std::FILE* out, const Options& options, const Stats& stats);

// The load line: "velkor-sim: load S s, N exchanges, R exchanges/s, latency p50 U us, p99 U us,
// p99.9 U us, max U us", and in open loop ", offered R packets/s, sent R packets/s".
std::string LoadLine(const Options& options, const Stats& stats);

}  // namespace velkor::sim
