// Retention's batch on both engines (a scratch SQLite file and a scratch PostgreSQL server):
// the old events are a prefix in id order, a batch deletes at most its limit of them, it stops
// at the first event that is not old, it never deletes the newest event, and the next event
// stored gets a higher id than any before it; and, on the same two stores, the statements of the
// API's keys and of the audit trail.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <thread>

#include "Audit.h"
#include "Keys.h"
#include "Retention.h"
#include "ScratchPostgres.h"
#include "Store.h"

namespace velkor::gateway {
namespace {

constexpr std::int64_t kCutoff = 1'700'000'000'000;

// One event per letter, in order: 'o' received before the cutoff, 'n' at or after it; 'O' old,
// received with the one before it (one report's, a row of the store).
void StoreEvents(Database& db, const std::string& ages) {
  Transaction transaction(db);
  EventRows rows;
  const std::uint8_t raw[16] = {9};
  std::int64_t ms = 0;
  for (std::size_t i = 0; i < ages.size(); ++i) {
    EventRecord event{};
    event.kind = 1;
    if (ages[i] != 'O') {
      ms = ages[i] == 'o' ? kCutoff - 86'400'000 + static_cast<std::int64_t>(i)
                          : kCutoff + static_cast<std::int64_t>(i);
    }
    rows.Add(db, 42, ms, event, raw);
  }
  rows.Flush(db);
  transaction.Commit();
}

std::vector<std::int64_t> EventIds(Database& db) {
  Statement& s = db.Prepare("SELECT id FROM events ORDER BY id");
  s.Bind();
  std::vector<std::int64_t> ids;
  while (s.Step()) {
    ids.push_back(s.Int(0));
  }
  return ids;
}

struct BatchCase {
  const char* what;
  const char* ages;
  std::int64_t limit;
  std::size_t deleted;  // the first this many events go
};

TEST(RetentionStoreTest, ABatchDeletesAnOldPrefixAndNeverTheNewestEvent) {
  test::ScratchFolder dir("retention");
  test::ScratchPostgres pg(dir.path);
  ASSERT_FALSE(pg.url().empty());
  const std::vector<BatchCase> cases = {
      {"old, then new", "ooonn", 1000, 3},
      {"every event old: the newest stays", "oooo", 1000, 3},
      {"a single old event is the newest", "o", 1000, 0},
      {"an old event after a new one waits for it", "onoon", 1000, 1},
      {"at most the limit", "ooooon", 2, 2},
      {"a report's events go together, the limit counts reports", "oOOon", 1, 3},
      {"nothing old", "nnn", 1000, 0},
      {"no events", "", 1000, 0},
  };
  for (const std::string& location : {(dir.path / "store.db").string(), pg.url()}) {
    std::unique_ptr<Database> db = Database::Open(location);
    Migrate(*db);
    for (const BatchCase& c : cases) {
      SCOPED_TRACE(location + ": " + c.what);
      db->Exec("DELETE FROM event_reports");
      StoreEvents(*db, c.ages);
      const std::vector<std::int64_t> before = EventIds(*db);
      EXPECT_EQ(DeleteOldEvents(*db, kCutoff, c.limit), static_cast<std::int64_t>(c.deleted));
      EXPECT_EQ(EventIds(*db), std::vector<std::int64_t>(before.begin() + c.deleted, before.end()));
      if (before.empty()) {
        continue;
      }
      // The next event takes an id above every id handed out before, on SQLite too, whose
      // INTEGER PRIMARY KEY reuses max(id) + 1.
      while (DeleteOldEvents(*db, kCutoff + 1000, c.limit) > 0) {
      }
      ASSERT_EQ(EventIds(*db), std::vector<std::int64_t>{before.back()});
      StoreEvents(*db, "n");
      EXPECT_GT(EventIds(*db).back(), before.back());
    }

    // The keys' and the audit trail's statements, on the same server: PostgreSQL's dialect too.
    SCOPED_TRACE(location + ": keys and audit");
    EXPECT_TRUE(InsertKey(*db, "app", Role::kOperate, KeyHash("secret"), "2026-01-01T00:00:00Z"));
    EXPECT_FALSE(InsertKey(*db, "app", Role::kAdmin, KeyHash("other"), "2026-01-01T00:00:00Z"));
    ASSERT_EQ(ListKeys(*db).size(), 1u);
    EXPECT_EQ(ListKeys(*db)[0].role, Role::kOperate);
    AuditEntry entry;
    entry.actor = "app";
    entry.device = 0x0A2DEC89025CC1;
    entry.detail = {{"command_id", 7}};
    InsertAudit(*db, entry);
    entry.device.reset();
    InsertAudit(*db, entry);
    const Json all = ListAudit(*db, std::nullopt, 0, 10);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0]["device"], "0A2DEC89025CC1");
    EXPECT_EQ(all[0]["detail"]["command_id"], 7);
    EXPECT_TRUE(all[1]["device"].is_null());
    EXPECT_EQ(ListAudit(*db, 0x0A2DEC89025CC1, 0, 10).size(), 1u);
    EXPECT_TRUE(ListAudit(*db, std::nullopt, all[1]["id"].get<std::int64_t>(), 10).empty());
    EXPECT_TRUE(DeleteKey(*db, "app"));
    EXPECT_FALSE(DeleteKey(*db, "app"));
  }
}

TEST(RetentionWorkerTest, StopWakesTheWorkerFromItsWait) {
  test::ScratchFolder dir("retention");
  const std::string location = (dir.path / "store.db").string();
  {
    std::unique_ptr<Database> db = Database::Open(location);
    Migrate(*db);
    StoreEvents(*db, "ooon");
  }
  Retention retention(location, std::chrono::hours(24), {});
  retention.Start();
  std::unique_ptr<Database> db = Database::Open(location);
  for (int i = 0; i < 200 && EventIds(*db).size() > 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(EventIds(*db).size(), 1u);
  const auto start = std::chrono::steady_clock::now();
  retention.Stop();  // in its minute's wait now
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace velkor::gateway
