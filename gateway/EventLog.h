// The event log in the store: a row per report in `event_reports` (its records as a JSON array,
// their raw bytes side by side), ids given to the records one after the other, and the `events`
// view that shows a row per record under those ids. Readers of the log see records; only the
// writer and retention see the rows.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Database.h"
#include "Records.h"

namespace velkor::gateway {

// A transaction's decoded records. Records added one after the other for one device at one
// time with one digest (a report's) share a row (at most kMaxRecordsPerRow), which keeps the
// digest for the duplicate check; each record gets the next event id. On SQLite
// rows go in kRowsPerInsert a statement as they fill, the rest at Flush; on PostgreSQL they are
// gathered and go in with one COPY at Flush. Ids continue from the highest stored, read at the
// transaction's first record, so the transaction must hold the event order (LockEventOrder)
// first, or Stage its rows. Call Clear when a transaction starts over; the buffers are kept from
// one to the next.
class EventRows {
 public:
  static constexpr std::size_t kRowsPerInsert = 32;
  static constexpr std::int64_t kMaxRecordsPerRow = 64;

  void Add(Database& db, std::uint64_t serial, std::int64_t receivedMs, const EventRecord& event,
           const std::uint8_t* raw, std::span<const std::uint8_t> digest = {});
  void Flush(Database& db);
  void Clear();
  // This transaction's rows go to the stage without ids (PostgreSQL, when another gateway holds
  // the event order): MoveStaged gives them their ids later.
  void Stage();

 private:
  struct Row {
    std::int64_t id = 0;
    std::uint64_t serial = 0;
    std::int64_t receivedMs = 0;
    std::int64_t count = 0;
    std::string records;               // a JSON array of the records, each an array
    std::vector<std::uint8_t> raw;     // 16 bytes a record
    std::vector<std::uint8_t> digest;  // the report's, or none (NULL)
  };
  Row& Open(Database& db, std::uint64_t serial, std::int64_t receivedMs,
            std::span<const std::uint8_t> digest);
  void Close(Database& db);   // the open row, into the statement's rows or the COPY text
  void Insert(Database& db);  // the statement's rows, in one statement
  std::vector<Row> rows_;     // rows_[0, used_) wait for the statement, rows_[used_] is open
  std::size_t used_ = 0;
  bool open_ = false;
  bool staged_ = false;
  std::int64_t next_ = 0;  // the next event id; 0 until read in this transaction
  std::string copy_;       // rows in COPY's text format
};

// Notes an event report's digest in `reports`; false when it was noted before (its events are
// stored). PostgreSQL's gateways check each other's reports there; a gateway on SQLite, alone on
// its store, checks its memory, and keeps the digest in the report's row.
bool InsertReport(Database& db, std::uint64_t serial, std::span<const std::uint8_t> digest,
                  std::int64_t ms);
bool InsertReport(Database& db, std::uint64_t serial, const std::string& digest, std::int64_t ms);
void PruneReports(Database& db, std::int64_t beforeMs);
// In a transaction that inserts events: waits for the other gateways' transactions that do, so
// that event ids are given and become visible in increasing order (PostgreSQL; SQLite has one
// writer).
void LockEventOrder(Database& db);
// The same without waiting: false when another transaction holds it. Then the rows are staged,
// and committed beside the other gateways' instead of after them.
bool TryEventOrder(Database& db);
// Holding the event order: moves the rows committed to the stage into the log, under the next
// ids in the order they were staged. The number of rows moved (0 on SQLite, which stages none).
std::int64_t MoveStaged(Database& db);

// Events with id above `after`, ascending, at most `limit`; every device's, or one device's.
Json ListEvents(Database& db, std::optional<std::uint64_t> device, std::int64_t after,
                std::size_t limit);
std::int64_t NewestEvent(Database& db);  // the highest event id, 0 for none
// An event report's digest, with its device and when it was received (the duplicate check's).
struct RecentReport {
  std::uint64_t serial;
  std::string digest;
  std::int64_t receivedMs;
};
// Adds the digests the rows of reports received since `sinceMs` keep, newest first: read from
// the newest row back, so as much as a minute is read, not the log.
void RecentRowDigests(Database& db, std::int64_t sinceMs, std::vector<RecentReport>& reports);

}  // namespace velkor::gateway
