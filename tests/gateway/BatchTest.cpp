// What one batch changes, in memory and in the store: a packet refused for its address changes
// nothing of the device, memory takes what the store holds, and the link's first row of a device
// and its admission through the API commute.
#include <algorithm>
#include <thread>

#include "BatchFixture.h"

namespace velkor::gateway {
namespace {

TEST_F(BatchTest, APacketFromAnotherAddressChangesNothingButTheConflictCount) {
  gateway_->Flush();
  const DeviceRow before = hub_.Find(device_.serial)->Registry();
  sim::DeviceState spoof = device_;
  spoof.type = spoof.IsLegacy() ? sim::kCurrentType : sim::kLegacyType;
  sim::Rng rng(9);
  for (const sim::Bytes& packet :
       {sim::PollPacket(spoof), sim::EventPacket(spoof, {sim::MakeEvent(rng, false, 1)})}) {
    std::vector<Datagram> batch{From(packet, "127.0.0.9", 5555)};
    gateway_->Handle(batch);
    EXPECT_EQ(batch[0].reply, 0);
  }
  gateway_->Flush();

  const Device& after = *hub_.Find(device_.serial);
  const std::optional<Device> stored = LoadDevice(*db_, device_.serial);
  ASSERT_TRUE(stored);
  for (const Device* d : {&after, &*stored}) {
    EXPECT_EQ(d->ip, before.ip);
    EXPECT_EQ(d->port, before.port);
    EXPECT_EQ(d->type, before.type);
    EXPECT_EQ(d->lastSeen, before.lastSeen);
    EXPECT_EQ(d->accepted, before.accepted);
    EXPECT_EQ(d->conflicts, before.conflicts + 2);
    EXPECT_EQ(d->conflictAddress, "127.0.0.9");
  }
  EXPECT_EQ(StoredEvents(), 0);
}

TEST_F(BatchTest, AnUploadedTemplateInMemoryIsWhatTheStoreHolds) {
  // Another writer of the slot commits right behind the upload, as the API may.
  db_->Exec(
      "CREATE TRIGGER other_writer AFTER INSERT ON templates BEGIN UPDATE templates SET data = "
      "zeroblob(128), source = 'api' WHERE device = NEW.device AND slot = NEW.slot; END");
  sim::Template upload;
  upload.fill(0x5A);
  std::vector<Datagram> batch{From(sim::FingerUploadPacket(device_, 3, upload))};
  gateway_->Handle(batch);
  const auto stored = LoadTemplate(*db_, device_.serial, 3);
  ASSERT_TRUE(stored);
  EXPECT_EQ(hub_.Find(device_.serial)->templates.at(3), *stored)
      << "memory holds the upload, the store the later write";
}

TEST_F(BatchTest, AFirstRowAndAnAdmissionCommute) {
  for (const bool admitFirst : {true, false}) {
    Device seen;
    seen.serial = 0x00ABCDEF012345 + (admitFirst ? 1 : 0);
    seen.ip = "127.0.0.5";
    seen.port = 4000;
    seen.firstSeen = seen.lastSeen = IsoTime(NowMs());
    seen.firstPacket = "00";
    Device admitted = seen;
    admitted.admitted = true;
    admitted.pinnedIp = seen.ip;
    if (admitFirst) {
      SaveAdmission(*db_, admitted);
      SaveDevice(*db_, seen);
    } else {
      SaveDevice(*db_, seen);
      SaveAdmission(*db_, admitted);
    }
    const auto stored = LoadDevice(*db_, seen.serial);
    ASSERT_TRUE(stored);
    EXPECT_TRUE(stored->admitted) << "admit first: " << admitFirst;
    EXPECT_EQ(stored->pinnedIp, "127.0.0.5") << "admit first: " << admitFirst;
  }
}

TEST_F(BatchTest, APendingDeviceKeepsABoundedPrefixOfItsFirstPacket) {
  Gateway known(hub_, *db_, PolicyOptions{Admit::kKnown, 0});
  sim::Rng rng(21);
  const sim::DeviceState stranger = sim::MakeDevice(rng, 1);
  Datagram padded = From(sim::PollPacket(stranger));
  padded.length = 4096;  // zeros after the sealed packet are accepted as part of it
  std::vector<Datagram> batch{padded};
  known.Handle(batch);
  const Device* pending = hub_.Find(stranger.serial);
  ASSERT_NE(pending, nullptr);
  EXPECT_FALSE(pending->admitted);
  EXPECT_EQ(pending->firstPacket.size(), 128u);
}

TEST_F(BatchTest, AWorkingStoreClearsTheLastStoreError) {
  hub_.storeError = "database is locked";
  hub_.Find(device_.serial)->dirty = true;
  gateway_->Flush();
  EXPECT_EQ(hub_.storeError, "") << "an idle site stays degraded after one failure";
}

// A busy fleet's last-seen times and counters are written a slice of the devices a flush, not
// all of them every second; what other gateways act on (here a new port) at the next flush.
TEST_F(BatchTest, LastSeenRowsAreWrittenInSlicesAnAddressChangeAtTheNextFlush) {
  hub_.silentAfterMs = 8000;  // rows at most two seconds stale: two slices
  sim::Rng rng(21);
  std::vector<sim::DeviceState> fleet;
  for (std::uint32_t i = 1; i <= 40; ++i) {
    fleet.push_back(sim::MakeDevice(rng, i));
  }
  const auto pollAll = [&](std::uint16_t firstPort) {
    std::vector<Datagram> batch;
    for (const sim::DeviceState& device : fleet) {
      batch.push_back(
          From(sim::PollPacket(device), "127.0.0.1", batch.empty() ? firstPort : 40000));
    }
    gateway_->Handle(batch);
  };
  pollAll(40000);
  gateway_->Flush();
  pollAll(40009);  // the first device from another port
  const auto nextFlush = [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
    gateway_->Tick();
  };
  nextFlush();
  Statement& moved = db_->Prepare("SELECT port FROM devices WHERE serial = ?");
  moved.Bind(SerialText(fleet[0].serial));
  ASSERT_TRUE(moved.Step());
  EXPECT_EQ(moved.Int(0), 40009);
  moved.Reset();
  const std::int64_t slice = Count("SELECT COUNT(*) FROM devices WHERE accepted = 2");
  EXPECT_GT(slice, 1);
  EXPECT_LT(slice, 40) << "every row rewritten at one flush";
  nextFlush();
  EXPECT_EQ(Count("SELECT COUNT(*) FROM devices WHERE accepted = 2"), 40);
}

// Commits that never pause leave a checkpoint on the side no moment to copy the WAL to its
// end, so the WAL would never start again from the top. The writer keeps it short itself:
// here with no checkpoint thread at all, over several long WALs' worth of frames.
TEST_F(BatchTest, TheWriterStartsItsWalAgainUnderCommitsThatNeverPause) {
  constexpr std::int64_t kLongWal = 4096;  // frames
  sim::Rng rng(33);
  std::vector<sim::DeviceState> fleet;
  for (std::uint32_t i = 1; i <= 64; ++i) {
    fleet.push_back(sim::MakeDevice(rng, i));
  }
  std::int64_t written = 0;
  std::int64_t longest = 0;
  std::int64_t frames = 0;
  int restarts = 0;
  for (std::uint64_t number = 1; written < 3 * kLongWal;) {
    std::vector<Datagram> batch;
    for (int i = 0; i < 256; ++i) {
      std::vector<sim::Event> events;
      for (int k = 0; k < 8; ++k) {
        events.push_back(sim::MakeEvent(rng, false, number++));
      }
      batch.push_back(From(sim::EventPacket(fleet[i % fleet.size()], events)));
    }
    gateway_->Handle(batch);
    const std::int64_t now = db_->WalFrames();
    restarts += now < frames ? 1 : 0;
    written += now < frames ? now : now - frames;
    frames = now;
    longest = std::max(longest, now);
  }
  EXPECT_GE(restarts, 2);
  EXPECT_LT(longest, 2 * kLongWal);
}

}  // namespace
}  // namespace velkor::gateway
