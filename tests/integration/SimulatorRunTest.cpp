// Whole simulator runs against the in-process library host: every reply kind is checked and
// applied, spoiled packets are refused, and a host that misbehaves is caught.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>

#include "LibraryHost.h"
#include "Report.h"
#include "Simulator.h"

namespace velkor::test {
namespace {

struct Outcome {
  sim::Stats stats;
  std::vector<sim::DeviceState> devices;
  nlohmann::ordered_json report;
};

Outcome RunAgainst(HostSide& host, const sim::Options& options, bool report = true) {
  std::FILE* log = std::tmpfile();
  sim::Simulator simulator(
      options, [&](std::size_t) { return std::make_unique<LibraryHost>(host); }, log);
  const sim::Stats stats = simulator.Run();
  Outcome run{stats, simulator.Devices(),
              report ? sim::MakeReport(simulator, stats) : nlohmann::ordered_json()};
  std::fclose(log);
  return run;
}

sim::Options Quiet(unsigned devices, unsigned rounds, std::uint64_t seed) {
  sim::Options options;
  options.devices = devices;
  options.rounds = rounds;
  options.seed = seed;
  options.quiet = true;
  return options;
}

std::vector<std::uint64_t> Members(const MultiCardGroup& group) {
  std::vector<std::uint64_t> members;
  for (std::size_t slot = 0; slot < 5; ++slot) {
    if (group.cardNumbers[slot] >= 0) {
      members.push_back(static_cast<std::uint64_t>(group.cardNumbers[slot]));
    }
  }
  return members;
}

// What the device must hold after each kind of command the host sent it.
void ExpectApplied(const HostSide& host, const sim::DeviceState& device,
                   const std::set<Command>& sent) {
  SCOPED_TRACE(device.serial);
  if (sent.count(Command::kCards)) {
    ASSERT_EQ(device.cards.size(), host.cards.size());
    EXPECT_EQ(device.cards[1].number, 0xFFFFFFFFFFu);
    EXPECT_EQ(device.cards[1].flags, 0xC0);
    EXPECT_EQ(device.cards[2].password, "87654321");
    EXPECT_EQ(device.cards[0].flags, 0x01);
    EXPECT_EQ(device.cards[0].day, 30);
  }
  if (sent.count(Command::kGroups)) {
    ASSERT_EQ(device.groups.size(), 1u);
    EXPECT_EQ(device.groups[0].cards, Members(host.groups[0]));
    EXPECT_TRUE(device.groups[0].enabled);
    EXPECT_EQ(device.groups[0].flags, 0x08);
  }
  if (sent.count(Command::kSchedules)) {
    ASSERT_EQ(device.schedules.size(), 1u);
    const auto& periods = device.schedules[0].periods;
    EXPECT_EQ(periods[0], (sim::Period{8, 0, 12, 30}));
    EXPECT_EQ(periods[2], (sim::Period{0, 0, 24, 0}));
    EXPECT_FALSE(periods[1] || periods[3]);
  }
  const std::array<std::string, 10> passwords = {"1234", "", "", "87654321", "",
                                                 "5",    "", "", "",         "0"};
  if (sent.count(Command::kPasswords)) {
    EXPECT_EQ(device.passwords, passwords);
  }
  if (sent.count(Command::kFingerPasswords)) {
    EXPECT_EQ(device.fingerPasswords, passwords);
  }
  if (sent.count(Command::kClock)) {
    ASSERT_TRUE(device.clock);
    EXPECT_EQ(device.clock->weekday >= 0, !device.IsLegacy());
  }
  if (sent.count(Command::kControl)) {
    ASSERT_TRUE(device.lastControl);
    EXPECT_EQ(*device.lastControl, (sim::ControlCommand{0x85, kControlArguments}));
  }
  if (sent.count(Command::kExtraOutput)) {
    EXPECT_EQ(device.extraOutput, kExtraOutputValue);
  }
  if (sent.count(Command::kReaderMode)) {
    EXPECT_EQ(device.readerMode, (sim::ModeBlock{12, 34, 1, 2, 3}));
  }
  if (sent.count(Command::kFingerMode)) {
    EXPECT_EQ(device.fingerMode, (sim::ModeBlock{12, 34, 1, 2, 3}));
  }
  if (sent.count(Command::kFingerControl)) {
    ASSERT_TRUE(device.lastFingerControl);
    EXPECT_EQ(*device.lastFingerControl, (sim::FingerControl{2, 0x85, kFingerNumber}));
  }
}

TEST(SimulatorRun, EveryKindOfReplyIsVerifiedAndApplied) {
  HostSide host;
  const Outcome run = RunAgainst(host, Quiet(4, 4, 5));
  EXPECT_TRUE(run.stats.Passed());
  EXPECT_EQ(run.stats.verified, run.stats.Sent());
  for (std::size_t kind = 0; kind < sim::kReplyKinds; ++kind) {
    EXPECT_GT(run.stats.replies[kind], 0u) << sim::ReplyName(static_cast<sim::ReplyKind>(kind));
  }
  for (std::size_t family = 0; family < sim::kFamilies; ++family) {
    EXPECT_GT(run.stats.sent[family], 0u) << sim::FamilyName(static_cast<sim::Family>(family));
  }
  for (const sim::DeviceState& device : run.devices) {
    EXPECT_EQ(host.sent[device.serial].size(), static_cast<std::size_t>(Command::kCount));
    ExpectApplied(host, device, host.sent[device.serial]);
    EXPECT_FALSE(device.voiceClips.empty() && device.IsLegacy());
  }
  EXPECT_EQ(host.events, run.stats.eventsReported);
}

TEST(SimulatorRun, SpoiledPacketsAreRefusedAndDeliveryFaultsAnswered) {
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE(seed);
    HostSide host;
    sim::Options options = Quiet(3, 2, seed);
    options.faults = {sim::Fault::kCorruptBlock, sim::Fault::kWrongSerial, sim::Fault::kTruncated,
                      sim::Fault::kDuplicate, sim::Fault::kBurst};
    const Outcome run = RunAgainst(host, options);
    EXPECT_TRUE(run.stats.Passed());
    for (unsigned count : run.stats.faults) {
      EXPECT_EQ(count, 3u);  // each kind once per device
    }
    EXPECT_EQ(host.refused, 9u);
    EXPECT_EQ(host.accepted, run.stats.Sent());
    EXPECT_EQ(run.stats.verified, run.stats.Sent());
    EXPECT_EQ(host.events, run.stats.eventsReported);
  }
}

TEST(SimulatorRun, ASeedGivesOneRun) {
  HostSide first, second, third;
  sim::Options options = Quiet(3, 2, 42);
  options.faults = {sim::Fault::kBurst, sim::Fault::kTruncated};
  const Outcome a = RunAgainst(first, options);
  const Outcome b = RunAgainst(second, options);
  options.seed = 43;
  const Outcome c = RunAgainst(third, options);
  EXPECT_EQ(a.stats.sent, b.stats.sent);
  EXPECT_EQ(a.stats.eventsReported, b.stats.eventsReported);
  EXPECT_EQ(a.devices[1].serial, b.devices[1].serial);
  EXPECT_EQ(a.devices[2].cards, b.devices[2].cards);
  EXPECT_NE(a.devices[1].serial, c.devices[1].serial);

  // A fleet seed keeps the devices whatever the run's seed.
  HostSide fourth, fifth;
  options.fleetSeed = 7;
  const Outcome d = RunAgainst(fourth, options);
  options.seed = 42;
  const Outcome e = RunAgainst(fifth, options);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(d.devices[i].serial, e.devices[i].serial);
  }
  EXPECT_NE(d.devices[1].serial, a.devices[1].serial);
}

TEST(SimulatorRun, AHostThatMisbehavesIsCaught) {
  sim::Options options = Quiet(2, 1, 3);
  options.faults = {sim::Fault::kCorruptBlock};

  HostSide answersRefused;
  answersRefused.answerRefused = true;
  const Outcome refused = RunAgainst(answersRefused, options);
  EXPECT_EQ(refused.stats.unexpected, 2u);
  EXPECT_FALSE(refused.stats.Passed());

  HostSide answersTwice;
  answersTwice.answerTwice = true;
  EXPECT_FALSE(RunAgainst(answersTwice, options).stats.Passed());

  HostSide mute;
  mute.stayMute = true;
  const Outcome silent = RunAgainst(mute, options);
  EXPECT_EQ(silent.stats.missing, silent.stats.Sent());
  EXPECT_EQ(silent.stats.verified, 0u);
}

TEST(SimulatorRun, ADroppedCopyIsSentAgainAndCountsAsVerified) {
  HostSide host;
  host.dropFirstCopy = true;
  sim::Options options = Quiet(3, 2, 8);
  options.retries = 2;
  options.faults = {sim::Fault::kCorruptBlock, sim::Fault::kBurst};
  const Outcome resent = RunAgainst(host, options);
  EXPECT_TRUE(resent.stats.Passed());
  EXPECT_EQ(resent.stats.missing, 0u);
  EXPECT_EQ(resent.stats.verified, resent.stats.Sent());
  EXPECT_EQ(resent.stats.retries, resent.stats.Sent()) << "each valid packet once more";
  EXPECT_EQ(host.refused, 0u) << "a spoiled copy is never sent again";

  HostSide once;
  once.dropFirstCopy = true;
  options.retries = 0;
  const Outcome notResent = RunAgainst(once, options);
  EXPECT_EQ(notResent.stats.missing, notResent.stats.Sent());
  EXPECT_EQ(notResent.stats.retries, 0u);
}

// A reply to the first copy that comes only after the resend answers the packet; the reply
// to the resent copy, after it, is late and no fault of the host's.
TEST(SimulatorRun, RepliesToEarlierCopiesOfAResentPacketAreLateNotUnexpected) {
  HostSide host;
  host.holdFirstCopy = true;
  sim::Options options = Quiet(2, 2, 6);
  options.retries = 1;
  options.sockets = 1;
  const Outcome run = RunAgainst(host, options);
  EXPECT_TRUE(run.stats.Passed());
  EXPECT_EQ(run.stats.unexpected, 0u);
  EXPECT_EQ(run.stats.failed, 0u);
  EXPECT_EQ(run.stats.retries, run.stats.Sent());
  EXPECT_EQ(run.stats.late, run.stats.Sent());
}

TEST(SimulatorRun, TheLoadLineGivesTheRateAndNearestRankLatencies) {
  sim::Options options;
  options.loadSeconds = 2;
  sim::Stats stats;
  for (std::uint32_t us = 2000; us >= 1; --us) {
    stats.latenciesUs.push_back(us);
  }
  stats.loadElapsedSeconds = 2.5;
  EXPECT_EQ(sim::LoadLine(options, stats),
            "velkor-sim: load 2 s, 2000 exchanges, 800.0 exchanges/s, latency p50 1000 us, "
            "p99 1980 us, p99.9 1998 us, max 2000 us");
  stats.latenciesUs = {7};
  options.rate = 1;
  stats.sendRate = 0.95;
  EXPECT_EQ(sim::LoadLine(options, stats),
            "velkor-sim: load 2 s, 1 exchanges, 0.4 exchanges/s, latency p50 7 us, p99 7 us, "
            "p99.9 7 us, max 7 us, offered 1 packets/s, sent 0.9 packets/s");
}

// The library host behind a transport that holds each reply back for `delay`, and whose
// `stallAt`-th send (of all the sockets') blocks the sender for `stall`.
struct Pace {
  std::chrono::milliseconds delay{0};
  unsigned stallAt = 0;  // 0: never
  std::chrono::milliseconds stall{0};
  unsigned sends = 0;
};

class PacedHost final : public sim::Transport {
 public:
  PacedHost(HostSide& host, Pace& pace) : inner_(host), pace_(pace) {}
  void Send(const sim::Bytes& datagram) override {
    if (++pace_.sends == pace_.stallAt) {
      std::this_thread::sleep_for(pace_.stall);
    }
    inner_.Send(datagram);
    sim::Bytes reply;
    while (inner_.Await(0, reply) == sim::Receive::kReply) {
      held_.emplace_back(std::chrono::steady_clock::now() + pace_.delay, reply);
    }
  }
  sim::Receive Await(int, sim::Bytes& datagram) override {
    if (held_.empty() || held_.front().first > std::chrono::steady_clock::now()) {
      return sim::Receive::kTimeout;
    }
    datagram = std::move(held_.front().second);
    held_.pop_front();
    return sim::Receive::kReply;
  }

 private:
  LibraryHost inner_;
  Pace& pace_;
  std::deque<std::pair<std::chrono::steady_clock::time_point, sim::Bytes>> held_;
};

std::uint32_t Permille(std::vector<std::uint32_t> latencies, unsigned permille) {
  std::sort(latencies.begin(), latencies.end());
  return latencies.empty() ? 0 : latencies[(latencies.size() * permille + 999) / 1000 - 1];
}

// Open loop: the schedule is kept whatever the host does, each of a device's packets in flight
// is matched to its own reply, and latency runs from when a packet was due, so that a slow host
// and a sender that fell behind both show in it.
TEST(SimulatorRun, OpenLoopKeepsItsScheduleAndTimesFromIt) {
  constexpr unsigned kRate = 2000;
  const struct {
    const char* name;
    Pace pace;
    bool answerTwice;
  } cases[] = {
      {"a prompt host", {}, false},
      // Closed, 8 devices would make 200 exchanges a second of this host.
      {"a host 40 ms late", {std::chrono::milliseconds(40)}, false},
      // 200 ms without a send, 0.1 s into the schedule: the packets due meanwhile go late.
      {"a sender that stalls", {{}, 8 + 200, std::chrono::milliseconds(200)}, false},
      {"a host that answers twice", {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HostSide host;
    host.answerTwice = c.answerTwice;
    Pace pace = c.pace;
    sim::Options options = Quiet(8, 0, 12);
    options.sockets = 3;
    options.loadSeconds = 1;
    options.rate = kRate;
    options.traffic = sim::Traffic::kPolls;
    std::FILE* log = std::tmpfile();
    sim::Simulator simulator(
        options, [&](std::size_t) { return std::make_unique<PacedHost>(host, pace); }, log);
    const sim::Stats stats = simulator.Run();
    std::fclose(log);

    EXPECT_EQ(stats.scheduledSent, kRate);
    EXPECT_EQ(stats.Sent(), kRate + 8) << "the configurations first, then the schedule";
    // Well above what waiting for replies gives (200 a second of the late host), and loose
    // enough for a sender that shares a loaded machine under the sanitizers.
    EXPECT_GT(stats.sendRate, 0.5 * kRate);
    EXPECT_LE(stats.sendRate, 1.001 * kRate);
    EXPECT_EQ(stats.missing, 0u);
    EXPECT_EQ(stats.failed, 0u);
    EXPECT_EQ(stats.latenciesUs.size(), kRate) << "the configurations are not in the figures";
    if (c.answerTwice) {
      EXPECT_EQ(stats.unexpected, kRate + 8);
      EXPECT_FALSE(stats.Passed());
      continue;
    }
    EXPECT_TRUE(stats.Passed());
    const std::uint32_t p50 = Permille(stats.latenciesUs, 500);
    const std::uint32_t p99 = Permille(stats.latenciesUs, 990);
    const auto delayUs = static_cast<std::uint32_t>(c.pace.delay.count() * 1000);
    const auto stallUs = static_cast<std::uint32_t>(c.pace.stall.count() * 1000);
    EXPECT_GE(Permille(stats.latenciesUs, 1), delayUs);
    EXPECT_LT(p50, delayUs + 50000);
    if (stallUs > 0) {
      EXPECT_GT(p99, stallUs * 3 / 4) << "measured from the send, the stall would not show";
    }
  }
}

// What a report says about each device: its identity, the state the host's replies left it
// in, and each event record it reported once, whatever the number of copies sent.
TEST(SimulatorRun, TheReportListsEveryDeviceItsStateAndEachEventOnce) {
  HostSide host;
  sim::Options options = Quiet(6, 3, 23);  // a seed whose duplicates hit event reports
  options.faults = {sim::Fault::kDuplicate, sim::Fault::kBurst, sim::Fault::kTruncated};
  const Outcome run = RunAgainst(host, options);
  ASSERT_TRUE(run.stats.Passed());
  // Through text and back, as a reader of the file gets it.
  const nlohmann::json report = nlohmann::json::parse(run.report.dump(2));
  EXPECT_EQ(report["format"], "velkor-sim report 1");
  EXPECT_EQ(report["seed"], 23);
  EXPECT_EQ(report["complete"], true);
  EXPECT_EQ(report["ended"], "finished");
  EXPECT_EQ(report["summary"]["sent"], run.stats.Sent());
  EXPECT_EQ(report["summary"]["eventsReported"], run.stats.eventsReported);
  ASSERT_EQ(report["devices"].size(), 6u);

  std::size_t listed = 0;
  std::set<std::string> serials;
  for (std::size_t i = 0; i < run.devices.size(); ++i) {
    const sim::DeviceState& device = run.devices[i];
    const nlohmann::json& entry = report["devices"][i];
    char serial[16];
    std::snprintf(serial, sizeof serial, "%014llX", static_cast<unsigned long long>(device.serial));
    EXPECT_EQ(entry["serial"], serial);
    serials.insert(entry["serial"]);
    EXPECT_EQ(entry["type"], device.type);
    EXPECT_EQ(entry["generation"], device.IsLegacy() ? "legacy" : "current");

    const nlohmann::json& events = entry["events"];
    EXPECT_EQ(events.size(), device.nextEventNumber - 1) << "each record once";
    std::set<std::string> raws;
    for (const auto& event : events) {
      const std::string raw = event["raw"];
      ASSERT_EQ(raw.size(), 32u);
      EXPECT_EQ(raw.find_first_not_of("0123456789ABCDEF"), std::string::npos);
      if (device.IsLegacy()) {
        EXPECT_EQ(raw.substr(0, 4), "5A5A");  // the controller frame as it travels
        EXPECT_EQ(raw.substr(28), "A5A5");
      }
      EXPECT_EQ(event["verified"], true);
      raws.insert(raw);
    }
    listed += events.size();

    const nlohmann::json& state = entry["state"];
    if (host.sent[device.serial].count(Command::kCards)) {
      ASSERT_EQ(state["cards"].size(), host.cards.size());
      EXPECT_EQ(state["cards"][1]["cardNumber"], 0xFFFFFFFFFFll);
      EXPECT_EQ(state["cards"][1]["flag7"], true);
      EXPECT_EQ(state["cards"][1]["flag6"], true);
      EXPECT_EQ(state["cards"][1]["flag0"], false);
      EXPECT_EQ(state["cards"][2]["password"], "87654321");
    }
    if (host.sent[device.serial].count(Command::kGroups)) {
      EXPECT_EQ(state["groups"][0]["cardNumbers"], nlohmann::json({1001, 0, -1, -1, -1}));
      EXPECT_EQ(state["groups"][0]["flag3"], true);
    }
    if (host.sent[device.serial].count(Command::kSchedules)) {
      EXPECT_EQ(state["schedules"][0]["periods"][0], nlohmann::json({8, 0, 12, 30}));
      EXPECT_EQ(state["schedules"][0]["periods"][1], nlohmann::json({255, 255, 255, 255}));
    }
    EXPECT_EQ(state["passwords"].size(), 10u);
    EXPECT_EQ(state["clock"].is_null(), !device.clock);
    if (device.clock) {
      EXPECT_EQ(state["clock"]["weekday"], device.clock->weekday);
    }
    EXPECT_EQ(state["extraOutput"].is_null(), device.extraOutput < 0);
    EXPECT_EQ(state["templates"].size(), device.templates.size());
    for (const auto& [slot, data] : device.templates) {
      EXPECT_EQ(state["templates"][std::to_string(slot)].get<std::string>().size(), 256u);
    }
    EXPECT_EQ(state["voiceClips"].size(), device.voiceClips.size());
  }
  EXPECT_EQ(serials.size(), 6u);
  EXPECT_LT(listed, run.stats.eventsReported) << "duplicates and bursts sent records twice";
}

TEST(SimulatorRun, EventsOfUnansweredReportsAreNotVerified) {
  HostSide mute;
  mute.stayMute = true;
  const Outcome run = RunAgainst(mute, Quiet(2, 1, 4));
  const nlohmann::json report = nlohmann::json::parse(run.report.dump());
  for (const auto& device : report["devices"]) {
    ASSERT_FALSE(device["events"].empty());
    for (const auto& event : device["events"]) {
      EXPECT_EQ(event["verified"], false);
    }
  }
  EXPECT_EQ(report["summary"]["missing"], run.stats.Sent());
}

// In load mode every device has a packet outstanding at once, so replies on a shared socket
// come for many devices and must find theirs by serial.
TEST(SimulatorRun, LoadOverSharedSocketsFindsEachReplysDevice) {
  HostSide host;
  sim::Options options = Quiet(300, 0, 9);
  options.sockets = 16;
  options.loadSeconds = 1;
  const Outcome run = RunAgainst(host, options);
  EXPECT_TRUE(run.stats.Passed());
  EXPECT_EQ(run.stats.verified, run.stats.Sent());
  EXPECT_EQ(run.stats.latenciesUs.size(), run.stats.verified);
  EXPECT_GT(run.stats.Sent(), 300u * 12) << "every device went past its first round";
  EXPECT_EQ(host.events, run.stats.eventsReported);
  for (const sim::DeviceState& device : run.devices) {
    ExpectApplied(host, device, host.sent[device.serial]);
  }
  EXPECT_EQ(run.report["complete"], true);
}

TEST(SimulatorRun, LoadTrafficAndRecordsPerReport) {
  HostSide host;
  sim::Options options = Quiet(4, 0, 10);
  options.loadSeconds = 1;
  options.traffic = sim::Traffic::kEvents;
  options.eventsPerReport = 8;
  const Outcome run = RunAgainst(host, options, false);
  EXPECT_TRUE(run.stats.Passed());
  const auto configs = run.stats.sent[static_cast<std::size_t>(sim::Family::kConfig)];
  const auto reports = run.stats.sent[static_cast<std::size_t>(sim::Family::kEvents)];
  EXPECT_EQ(configs, 4u) << "the first packet of each device";
  EXPECT_EQ(configs + reports, run.stats.Sent());
  EXPECT_EQ(run.stats.eventsReported, 8 * reports);
  const std::string line = sim::LoadLine(options, run.stats);
  EXPECT_EQ(line.rfind("velkor-sim: load 1 s, ", 0), 0u) << line;
}

TEST(SimulatorRun, AStopRequestEndsTheRunIncomplete) {
  HostSide host;
  volatile std::sig_atomic_t stop = 1;
  sim::Options options = Quiet(2, 2, 3);
  options.stop = &stop;
  const Outcome run = RunAgainst(host, options);
  EXPECT_EQ(run.stats.ending, sim::Ending::kSignal);
  EXPECT_FALSE(run.stats.Passed());
  EXPECT_EQ(run.stats.Sent(), 0u);
  EXPECT_EQ(run.report["complete"], false);
  EXPECT_EQ(run.report["ended"], "signal");
  EXPECT_EQ(run.report["devices"].size(), 2u);
}

}  // namespace
}  // namespace velkor::test
