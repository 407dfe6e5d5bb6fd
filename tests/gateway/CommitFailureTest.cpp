// The link thread's batch against a store that refuses to write: nothing that needed the store
// is acknowledged, what the batch took from memory goes back, and once the store writes again
// the same packets are answered and stored once.
#include "BatchFixture.h"

namespace velkor::gateway {
namespace {

using CommitFailureTest = BatchTest;

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

TEST_F(CommitFailureTest, ACopyResentInTheSameBatchWaitsForTheFirstCopysCommit) {
  sim::Rng rng(5);
  const sim::Bytes report = sim::EventPacket(device_, {sim::MakeEvent(rng, false, 1)});
  db_->Exec("PRAGMA query_only=1");
  std::vector<Datagram> batch{From(report), From(report)};
  gateway_->Handle(batch);
  EXPECT_EQ(batch[0].reply, 0);
  EXPECT_EQ(batch[1].reply, 0) << "the copy was acknowledged, and its events were never stored";

  db_->Exec("PRAGMA query_only=0");
  std::vector<Datagram> again{From(report)};
  gateway_->Handle(again);
  EXPECT_GT(again[0].reply, 0);
  EXPECT_EQ(StoredEvents(), 1);
}

}  // namespace
}  // namespace velkor::gateway
