// The store's transactions when the engine or the connection lets go of them: on PostgreSQL
// through a proxy that drops the connection after each message of a link batch in turn, and on
// both engines a transaction rolled back underneath. A transaction whose connection was lost
// never commits anything by halves, and a report is in the store once, whatever step broke.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include "FaultProxy.h"
#include "ScratchPostgres.h"
#include "Store.h"

namespace velkor::gateway {
namespace {

using namespace std::chrono_literals;

std::int64_t Count(Database& db, const char* sql, std::uint64_t serial) {
  Statement& s = db.Prepare(sql);
  s.Bind(serial);
  s.Step();
  const std::int64_t n = s.Int(0);
  s.Reset();
  return n;
}

std::int64_t StoredEvents(Database& db, std::uint64_t serial) {
  return Count(db, "SELECT COUNT(*) FROM events WHERE device = ?", serial);
}

// What the link thread writes for an event report that also takes a queued command, in its
// order; true when it committed and the command was claimed by this batch.
bool WriteBatch(Database& db, std::uint64_t serial, std::int64_t command) {
  Transaction transaction(db);
  LockEventOrder(db);
  EventRows rows;
  if (InsertReport(db, serial, "digest-of-" + std::to_string(serial), NowMs())) {
    const std::uint8_t raw[16] = {1, 2, 3};
    for (int i = 0; i < 2; ++i) {
      EventRecord event{};
      event.kind = 1;
      event.code = static_cast<std::uint8_t>(i);
      rows.Add(db, serial, NowMs(), event, raw);
    }
  }
  const bool claimed = MarkCommandSent(db, command, IsoTime(NowMs()), "00", 1);
  rows.Flush(db);
  Announce(db, "test", serial);
  AnnounceEvents(db, "test", NewestEvent(db));
  transaction.Commit();
  return claimed;
}

class StoreFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(pg_.url().empty());
    direct_ = Database::Open(pg_.url());
    Migrate(*direct_);
  }

  test::ScratchFolder dir_{"store-fault"};
  test::ScratchPostgres pg_{dir_.path};
  test::FaultProxy proxy_{test::PortOf(pg_.url())};
  std::unique_ptr<Database> direct_;
};

TEST_F(StoreFaultTest, ABatchWhoseConnectionDropsAtAnyMessageCommitsAllOrNothing) {
  const std::string url = test::WithPort(pg_.url(), proxy_.port());
  // Connections at least the reconnection pause old, as a running gateway's are: a lost one is
  // made again at once by the next call.
  std::vector<std::unique_ptr<Database>> ready;
  bool covered = false;
  for (int n = 1; n < 200 && !covered; ++n) {
    if (ready.empty()) {
      for (int i = 0; i < 10; ++i) {
        ready.push_back(Database::Open(url));
      }
      std::this_thread::sleep_for(600ms);
    }
    std::unique_ptr<Database> db = std::move(ready.back());
    ready.pop_back();
    const std::uint64_t serial = 5000 + static_cast<std::uint64_t>(n);
    const std::int64_t command = InsertCommand(*direct_, serial, Json::object(), "now");

    proxy_.Arm("BEGIN", n);
    int claims = 0;
    bool committed = false;
    try {
      claims += WriteBatch(*db, serial, command) ? 1 : 0;
      committed = true;
    } catch (const DatabaseError&) {
    }
    const std::string step = "dropped after " + proxy_.Trace();
    covered = !proxy_.Fired();
    proxy_.Disarm();
    if (committed) {
      EXPECT_EQ(StoredEvents(*direct_, serial), 2) << "committed without its rows, " << step;
      EXPECT_EQ(claims, 1) << step;
    }
    // As a device that gets no answer: the same report again until it is stored.
    for (int attempt = 0; attempt < 20 && !committed; ++attempt) {
      try {
        claims += WriteBatch(*db, serial, command) ? 1 : 0;
        committed = true;
      } catch (const DatabaseError&) {
        std::this_thread::sleep_for(100ms);
      }
    }
    ASSERT_TRUE(committed) << step;
    EXPECT_EQ(StoredEvents(*direct_, serial), 2) << step;
    EXPECT_EQ(Count(*direct_, "SELECT COUNT(*) FROM reports WHERE device = ?", serial), 1) << step;
    // A COMMIT whose answer was lost is looked up: the claim is known, neither lost nor made twice.
    EXPECT_EQ(claims, 1) << step;
  }
  EXPECT_TRUE(covered) << "the batch has more messages than the test steps through";
}

// An engine that rolls a transaction back by itself (SQLite on a full disk, PostgreSQL on a
// connection that was made again): what follows must not run outside it.
TEST_F(StoreFaultTest, ATransactionEndedUnderneathTakesNoFurtherStatement) {
  const std::string file = dir_.path / "store.db";
  for (const std::string& location : {file, pg_.url()}) {
    std::unique_ptr<Database> db = Database::Open(location);
    Migrate(*db);
    {
      Transaction transaction(*db);
      db->Exec("ROLLBACK");
      EXPECT_THROW(InsertReport(*db, 77, "digest", NowMs()), DatabaseError) << location;
      EXPECT_THROW(transaction.Commit(), DatabaseError) << location;
    }
    EXPECT_EQ(Count(*db, "SELECT COUNT(*) FROM reports WHERE device = ?", 77), 0) << location;
    Transaction next(*db);  // and the connection is fit for the next one
    InsertReport(*db, 78, "digest", NowMs());
    next.Commit();
    EXPECT_EQ(Count(*db, "SELECT COUNT(*) FROM reports WHERE device = ?", 78), 1) << location;
  }
}

}  // namespace
}  // namespace velkor::gateway
