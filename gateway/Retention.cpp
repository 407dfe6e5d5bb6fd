#include "Retention.h"

#include <cstdio>
#include <optional>

#include "Log.h"
#include "Store.h"

namespace velkor::gateway {
namespace {

// The same failure is told again at most this often; a new one at once.
constexpr auto kRepeatErrorEvery = std::chrono::hours(1);

}  // namespace

std::int64_t DeleteOldEvents(Database& db, std::int64_t beforeMs, std::int64_t limit) {
  Transaction transaction(db);
  // Rows below the newest only, which is never deleted (the next ids continue from its last);
  // the primary key gives both the order and the newest without reading the table.
  Statement& scan = db.Prepare(
      "SELECT id, received_ms, count FROM event_reports WHERE id < (SELECT MAX(id) FROM "
      "event_reports) ORDER BY id LIMIT ?");
  scan.Bind(limit);
  std::optional<std::int64_t> last;
  std::int64_t deleted = 0;
  while (scan.Step()) {
    if (scan.Int(1) >= beforeMs) {
      break;
    }
    last = scan.Int(0);
    deleted += scan.Int(2);
  }
  scan.Reset();
  if (last) {
    // Every row up to `last` was in the scan, and older: a range on the primary key.
    db.Prepare("DELETE FROM event_reports WHERE id <= ?").Bind(*last).Run();
  }
  transaction.Commit();
  return deleted;
}

Retention::Retention(const std::string& location, std::chrono::milliseconds keep,
                     RetentionTiming timing)
    : db_(Database::Open(location)), keep_(keep), timing_(timing) {}

void Retention::Start() {
  worker_.Start([this] { return Round(); });
}

void Retention::Stop() {
  worker_.Stop();
}

std::chrono::milliseconds Retention::Round() {
  std::chrono::milliseconds wait = timing_.idle;
  try {
    const std::int64_t before = NowMs() - keep_.count();
    const std::int64_t deleted = DeleteOldEvents(*db_, before, timing_.batch);
    if (!lastError_.empty()) {
      LogInfo("retention: the store works again");
      lastError_.clear();
    }
    swept_ += deleted;
    if (deleted >= timing_.batch) {
      wait = timing_.pause;
    } else if (swept_ > 0) {
      LogInfo("retention: " + std::to_string(swept_) + " events received before " +
              IsoTime(before) + " deleted");
      swept_ = 0;
    }
  } catch (const std::exception& error) {
    // Retried later; the link and the API notice a store that is away on their own.
    const auto now = std::chrono::steady_clock::now();
    if (lastError_ != error.what() || now - toldAt_ >= kRepeatErrorEvery) {
      LogError(std::string("retention: ") + error.what() + "; retried every " +
               std::to_string(timing_.retry.count() / 1000) + " s");
      lastError_ = error.what();
      toldAt_ = now;
    }
    wait = timing_.retry;
  }
  return wait;
}

}  // namespace velkor::gateway
