// Event retention: a thread of its own, on a connection of its own, deletes the events older
// than the kept time in small transactions, so that it never holds the store's write lock for
// long and stays off the link thread's commit path.
//
// The events table has no index on received_ms (one would slow every insert), and it needs
// none: ids grow in insertion order and received_ms is the insertion time, so the old events
// are a prefix of the table in id order. A batch walks that prefix from the lowest id and stops
// at the first event that is not older than the cutoff.
//
// The event with the highest id is never deleted. On SQLite, `events.id` is an INTEGER PRIMARY
// KEY without AUTOINCREMENT: a new row gets max(id) + 1, so a table emptied of its newest rows
// would hand out again ids that event-stream clients (Last-Event-ID), API pages (after=) and
// MQTT cursors have already seen, and they would skip the new events that took them. Keeping
// the newest row keeps max(id), and with it every later id, above all that were handed out.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "Database.h"
#include "Worker.h"

namespace velkor::gateway {

// Deletes, in one transaction, the events of at most `limit` reports in id order from the
// lowest, stopping at the first one received at or after `beforeMs`; never the report with the
// highest id. Returns the events it deleted: fewer than `limit` means nothing older is left.
std::int64_t DeleteOldEvents(Database& db, std::int64_t beforeMs, std::int64_t limit);

struct RetentionTiming {
  std::int64_t batch = 1000;                // reports a transaction deletes at most
  std::chrono::milliseconds pause{50};      // between two full batches
  std::chrono::milliseconds idle{60'000};   // once nothing old is left
  std::chrono::milliseconds retry{10'000};  // after a store error
};

class Retention {
 public:
  // Opens its own connection to `location`; throws DatabaseError when it cannot.
  Retention(const std::string& location, std::chrono::milliseconds keep,
            RetentionTiming timing = {});
  Retention(const Retention&) = delete;
  Retention& operator=(const Retention&) = delete;

  void Start();
  void Stop();  // wakes the thread from its wait; returns once it has ended

 private:
  std::chrono::milliseconds Round();  // one batch; returns the wait before the next

  std::unique_ptr<Database> db_;
  std::chrono::milliseconds keep_;
  RetentionTiming timing_;
  std::int64_t swept_ = 0;  // deleted since the last time nothing old was left
  std::string lastError_;
  std::chrono::steady_clock::time_point toldAt_;
  Worker worker_;  // last: stopped before the rest goes
};

}  // namespace velkor::gateway
