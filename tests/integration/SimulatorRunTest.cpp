// Whole simulator runs against the in-process library host: every reply kind is checked and
// applied, spoiled packets are refused, and a host that misbehaves is caught.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "LibraryHost.h"
#include "Simulator.h"

namespace velkor::test {
namespace {

struct Outcome {
  sim::Stats stats;
  std::vector<sim::DeviceState> devices;
};

Outcome RunAgainst(HostSide& host, const sim::Options& options) {
  std::FILE* log = std::tmpfile();
  sim::Simulator simulator(
      options, [&](std::size_t) { return std::make_unique<LibraryHost>(host); }, log);
  Outcome run{simulator.Run(), simulator.Devices()};
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

}  // namespace
}  // namespace velkor::test
