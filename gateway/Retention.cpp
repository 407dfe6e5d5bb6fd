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
  // Below the highest id only, which is never deleted; the primary key gives both the order
  // and the maximum without reading the table.
  Statement& scan = db.Prepare(
      "SELECT id, received_ms FROM events WHERE id < (SELECT MAX(id) FROM events) ORDER BY id "
      "LIMIT ?");
  scan.Bind(limit);
  std::optional<std::int64_t> last;
  while (scan.Step()) {
    if (scan.Int(1) >= beforeMs) {
      break;
    }
    last = scan.Int(0);
  }
  scan.Reset();
  std::int64_t deleted = 0;
  if (last) {
    // Every id up to `last` was in the scan, and older: a range on the primary key.
    Statement& drop = db.Prepare("DELETE FROM events WHERE id <= ?");
    drop.Bind(*last).Run();
    deleted = drop.Changes();
  }
  transaction.Commit();
  return deleted;
}

Retention::Retention(const std::string& location, std::chrono::milliseconds keep,
                     RetentionTiming timing)
    : db_(Database::Open(location)), keep_(keep), timing_(timing) {}

Retention::~Retention() {
  Stop();
}

void Retention::Start() {
  thread_ = std::thread([this] { Run(); });
}

void Retention::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
}

bool Retention::Wait(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_for(lock, wait, [this] { return stop_; });
}

void Retention::Run() {
  std::int64_t swept = 0;  // deleted since the last time nothing old was left
  std::string lastError;
  std::chrono::steady_clock::time_point toldAt;
  for (;;) {
    std::chrono::milliseconds wait = timing_.idle;
    try {
      const std::int64_t before = NowMs() - keep_.count();
      const std::int64_t deleted = DeleteOldEvents(*db_, before, timing_.batch);
      if (!lastError.empty()) {
        LogInfo("retention: the store works again");
        lastError.clear();
      }
      swept += deleted;
      if (deleted >= timing_.batch) {
        wait = timing_.pause;
      } else if (swept > 0) {
        LogInfo("retention: " + std::to_string(swept) + " events received before " +
                IsoTime(before) + " deleted");
        swept = 0;
      }
    } catch (const std::exception& error) {
      // Retried later; the link and the API notice a store that is away on their own.
      const auto now = std::chrono::steady_clock::now();
      if (lastError != error.what() || now - toldAt >= kRepeatErrorEvery) {
        LogError(std::string("retention: ") + error.what() + "; retried every " +
                 std::to_string(timing_.retry.count() / 1000) + " s");
        lastError = error.what();
        toldAt = now;
      }
      wait = timing_.retry;
    }
    if (!Wait(wait)) {
      return;
    }
  }
}

}  // namespace velkor::gateway
