// The link thread's batch against a store that refuses to write: nothing that needed the store
// is acknowledged, what the batch took from memory goes back, and once the store writes again
// the same packets are answered and stored once.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstdio>
#include <filesystem>

#include "DeviceCodec.h"
#include "Gateway.h"
#include "Rng.h"
#include "Simulator.h"
#include "Store.h"

namespace velkor::gateway {
namespace {

Datagram From(const sim::Bytes& plain) {
  sim::Bytes sealed = plain;
  sim::SealDevicePacket(sealed);
  Datagram d;
  std::copy(sealed.begin(), sealed.end(), d.buffer.begin());
  d.length = static_cast<std::uint32_t>(sealed.size());
  auto& address = reinterpret_cast<sockaddr_in&>(d.from);
  address.sin_family = AF_INET;
  address.sin_port = htons(40000);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  d.fromLength = sizeof address;
  return d;
}

class CommitFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::remove(path_);
    db_ = Database::Open(path_);
    Migrate(*db_);
    gateway_ = std::make_unique<Gateway>(hub_, *db_, PolicyOptions{Admit::kAny, 0});
    sim::Rng rng(17);
    device_ = sim::MakeDevice(rng, 0);
    std::vector<Datagram> hello{From(sim::PollPacket(device_))};
    gateway_->Handle(hello);  // first contact: the clock, and the device row written
    ASSERT_GT(hello[0].reply, 0);
  }
  void TearDown() override {
    gateway_.reset();
    db_.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) {
      std::filesystem::remove(path_ + suffix);
    }
  }

  std::int64_t StoredEvents() {
    Statement& count = db_->Prepare("SELECT COUNT(*) FROM events");
    count.Bind();
    count.Step();
    const std::int64_t n = count.Int(0);
    count.Reset();
    return n;
  }

  const std::string path_ = ::testing::TempDir() + "/velkor-commit-failure.db";
  Hub hub_;
  std::unique_ptr<Database> db_;
  std::unique_ptr<Gateway> gateway_;
  sim::DeviceState device_;
};

TEST_F(CommitFailureTest, NothingIsAcknowledgedThatWasNotStored) {
  Device& d = *hub_.Find(device_.serial);
  const Json read = Json::parse(R"({"command": "read"})");
  const std::int64_t id = InsertCommand(*db_, device_.serial, read, IsoTime(NowMs()));
  d.commands.push_back({id, read});
  sim::Rng rng(3);
  const sim::Bytes report =
      sim::EventPacket(device_, {sim::MakeEvent(rng, false, 1), sim::MakeEvent(rng, false, 2)});
  const sim::Bytes poll = sim::PollPacket(device_);

  db_->Exec("PRAGMA query_only=1");  // every write now fails, as on a full or lost disk
  std::vector<Datagram> batch{From(report), From(poll)};
  gateway_->Handle(batch);
  EXPECT_EQ(batch[0].reply, 0) << "an event report was acknowledged without its events stored";
  // The report took the queued command; the poll needed nothing stored and got its echo.
  EXPECT_EQ(batch[1].reply, 26);
  EXPECT_EQ(batch[1].buffer[0], 0x00);
  ASSERT_EQ(d.commands.size(), 1u) << "the command taken by the failed batch is lost";
  EXPECT_EQ(d.commands.front().id, id);
  EXPECT_EQ(d.events, 0u);
  EXPECT_FALSE(hub_.storeError.empty());

  // The store is back: the device's resent report is answered and stored, once.
  db_->Exec("PRAGMA query_only=0");
  std::vector<Datagram> again{From(report), From(report)};
  gateway_->Handle(again);
  EXPECT_GT(again[0].reply, 0);
  EXPECT_GT(again[1].reply, 0);
  EXPECT_EQ(StoredEvents(), 2);
  // The view shows the stored events as the API gives them.
  const Json api = ListEvents(*db_, std::nullopt, 0, 10);
  Statement& view = db_->Prepare(
      "SELECT device, received_at, \"values\", \"cardNumber\", raw FROM events_text ORDER BY id");
  view.Bind();
  ASSERT_TRUE(view.Step());
  EXPECT_EQ(view.Text(0), api[0]["device"]);
  EXPECT_EQ(view.Text(1), api[0]["received_at"]);
  EXPECT_EQ(Json::parse(view.Text(2)), api[0]["values"]);
  EXPECT_EQ(view.Int(3), api[0]["cardNumber"]);
  EXPECT_EQ(view.Text(4), api[0]["raw"]);
  view.Reset();
  EXPECT_TRUE(hub_.storeError.empty());
  EXPECT_EQ(again[0].buffer[0], 0xFD) << "the read command answers the report this time";
  EXPECT_TRUE(d.commands.empty());
}

}  // namespace
}  // namespace velkor::gateway
