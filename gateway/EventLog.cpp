#include "EventLog.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

#include "Store.h"

namespace velkor::gateway {
namespace {

constexpr const char* kLockEventOrder = "SELECT pg_advisory_xact_lock(478101)";
constexpr const char* kTryEventOrder = "SELECT pg_try_advisory_xact_lock(478101)::int";
constexpr std::size_t kRawLength = 16;
constexpr std::size_t kRecordFields = 13;

// Only what the record carries: a number for kinds 0, 3 and 4, a code for kinds 0, 1, 3.
std::optional<std::int64_t> NumberOf(const EventRecord& e) {
  return e.kind == 0 || e.kind == 3 || e.kind == 4
             ? std::optional<std::int64_t>(static_cast<std::int64_t>(e.number))
             : std::nullopt;
}

std::optional<std::int64_t> CodeOf(const EventRecord& e) {
  return e.kind == 0 || e.kind == 1 || e.kind == 3 ? std::optional<std::int64_t>(e.code)
                                                   : std::nullopt;
}

void AppendInt(std::string& out, std::int64_t value) {
  std::array<char, 24> text;
  const auto end = std::to_chars(text.data(), text.data() + text.size(), value).ptr;
  out.append(text.data(), end);
}

void AppendNullable(std::string& out, const std::optional<std::int64_t>& value) {
  if (value) {
    AppendInt(out, *value);
  } else {
    out += "null";
  }
}

// A record as the row keeps it: [kind, number, code, value1..value8, cardNumber, "digits"],
// number and code null where the kind carries none. Digits are ASCII digits; anything else is
// escaped, so the array is always valid JSON.
void AppendRecord(std::string& out, const EventRecord& event) {
  const EventRecord e = event;  // packed fields by value
  out += '[';
  AppendInt(out, e.kind);
  out += ',';
  AppendNullable(out, NumberOf(e));
  out += ',';
  AppendNullable(out, CodeOf(e));
  for (const std::int64_t value :
       {std::int64_t{e.value1}, std::int64_t{e.value2}, std::int64_t{e.value3},
        std::int64_t{e.value4}, std::int64_t{e.value5}, std::int64_t{e.value6},
        std::int64_t{e.value7}, std::int64_t{e.value8}, static_cast<std::int64_t>(e.cardNumber)}) {
    out += ',';
    AppendInt(out, value);
  }
  out += ",\"";
  for (std::size_t i = 0; i < sizeof e.digits && e.digits[i] != '\0'; ++i) {
    const auto c = static_cast<unsigned char>(e.digits[i]);
    if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += "\"]";
}

// COPY's text format: backslash, tab and line breaks escaped.
void AppendCopyText(std::string& out, const std::string& text) {
  for (const char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
}

}  // namespace

void EventRows::Clear() {
  used_ = 0;
  open_ = false;
  staged_ = false;
  next_ = 0;
  copy_.clear();
}

void EventRows::Stage() {
  staged_ = true;
}

EventRows::Row& EventRows::Open(Database& db, std::uint64_t serial, std::int64_t receivedMs,
                                std::span<const std::uint8_t> digest) {
  if (open_) {
    const Row& row = rows_[used_];
    if (row.serial == serial && row.receivedMs == receivedMs && row.count < kMaxRecordsPerRow &&
        std::equal(row.digest.begin(), row.digest.end(), digest.begin(), digest.end())) {
      return rows_[used_];
    }
    Close(db);
  }
  if (next_ == 0 && !staged_) {
    next_ = NewestEvent(db) + 1;
  }
  if (rows_.size() == used_) {
    rows_.emplace_back();
  }
  Row& row = rows_[used_];
  row.id = next_;
  row.serial = serial;
  row.receivedMs = receivedMs;
  row.count = 0;
  row.records.assign(1, '[');
  row.raw.clear();
  row.digest.assign(digest.begin(), digest.end());
  open_ = true;
  return row;
}

void EventRows::Add(Database& db, std::uint64_t serial, std::int64_t receivedMs,
                    const EventRecord& event, const std::uint8_t* raw,
                    std::span<const std::uint8_t> digest) {
  Row& row = Open(db, serial, receivedMs, digest);
  if (row.count > 0) {
    row.records += ',';
  }
  AppendRecord(row.records, event);
  row.raw.insert(row.raw.end(), raw, raw + kRawLength);
  ++row.count;
  ++next_;
}

void EventRows::Close(Database& db) {
  Row& row = rows_[used_];
  row.records += ']';
  open_ = false;
  if (db.engine() == Engine::kPostgres) {
    if (!staged_) {
      AppendInt(copy_, row.id);
      copy_ += '\t';
    }
    for (const std::int64_t value :
         {static_cast<std::int64_t>(row.serial), row.receivedMs, row.count}) {
      AppendInt(copy_, value);
      copy_ += '\t';
    }
    AppendCopyText(copy_, row.records);
    copy_ += "\t\\\\x" + Hex(row.raw.data(), row.raw.size());
    copy_ += row.digest.empty() ? "\t\\N\n"
                                : "\t\\\\x" + Hex(row.digest.data(), row.digest.size()) + "\n";
    return;
  }
  if (++used_ == kRowsPerInsert) {
    Insert(db);
  }
}

void EventRows::Insert(Database& db) {
  // One text per row count, made once: statements are cached by the address of their text.
  static const std::array<std::string, kRowsPerInsert + 1> kInserts = [] {
    std::array<std::string, kRowsPerInsert + 1> texts;
    for (std::size_t n = 1; n <= kRowsPerInsert; ++n) {
      texts[n] =
          "INSERT INTO event_reports (id, device, received_ms, count, records, raw, digest) "
          "VALUES ";
      for (std::size_t i = 0; i < n; ++i) {
        texts[n] += i == 0 ? "(?, ?, ?, ?, ?, ?, ?)" : ", (?, ?, ?, ?, ?, ?, ?)";
      }
    }
    return texts;
  }();
  constexpr int kColumns = 7;
  Statement& s = db.Prepare(kInserts[used_].c_str());
  s.Reset();
  int first = 1;
  for (std::size_t i = 0; i < used_; ++i) {
    const Row& row = rows_[i];
    s.BindAt(first, row.id, row.serial, row.receivedMs, row.count, row.records,
             std::span<const std::uint8_t>(row.raw),
             row.digest.empty() ? std::nullopt
                                : std::optional<std::span<const std::uint8_t>>(row.digest));
    first += kColumns;
  }
  s.Run();
  used_ = 0;
}

void EventRows::Flush(Database& db) {
  if (open_) {
    Close(db);
  }
  if (used_ > 0) {
    Insert(db);
  }
  if (!copy_.empty()) {
    db.CopyIn(staged_ ? "COPY event_stage (device, received_ms, count, records, raw, digest) "
                        "FROM STDIN"
                      : "COPY event_reports (id, device, received_ms, count, records, raw, "
                        "digest) FROM STDIN",
              copy_);
  }
  Clear();  // the next transaction reads the next id again: another gateway may have written
}

bool InsertReport(Database& db, std::uint64_t serial, std::span<const std::uint8_t> digest,
                  std::int64_t ms) {
  Statement& s = db.Prepare(
      "INSERT INTO reports (device, digest, received_ms) VALUES (?, ?, ?) "
      "ON CONFLICT (device, digest) DO NOTHING");
  s.Bind(serial, digest, ms);
  s.Run();
  return s.Changes() == 1;
}

bool InsertReport(Database& db, std::uint64_t serial, const std::string& digest, std::int64_t ms) {
  return InsertReport(db, serial,
                      std::span<const std::uint8_t>(
                          reinterpret_cast<const std::uint8_t*>(digest.data()), digest.size()),
                      ms);
}

void PruneReports(Database& db, std::int64_t beforeMs) {
  db.Prepare("DELETE FROM reports WHERE received_ms < ?").Bind(beforeMs).Run();
}

void LockEventOrder(Database& db) {
  if (db.engine() == Engine::kPostgres) {
    db.Prepare(kLockEventOrder).Bind().Run();
  }
}

bool TryEventOrder(Database& db) {
  if (db.engine() != Engine::kPostgres) {
    return true;
  }
  Statement& s = db.Prepare(kTryEventOrder);
  s.Bind();
  const bool held = s.Step() && s.Int(0) == 1;
  s.Reset();
  return held;
}

std::int64_t MoveStaged(Database& db) {
  if (db.engine() != Engine::kPostgres) {
    return 0;
  }
  // One statement: the rows committed to the stage so far, in the order they were staged, under
  // the ids that follow the highest stored. Rows staged after it began wait for the next move.
  Statement& s = db.Prepare(
      "WITH moved AS (DELETE FROM event_stage "
      "RETURNING seq, device, received_ms, count, records, raw, digest), "
      "top AS (SELECT COALESCE((SELECT id + count - 1 FROM event_reports "
      "ORDER BY id DESC LIMIT 1), 0) AS id) "
      "INSERT INTO event_reports (id, device, received_ms, count, records, raw, digest) "
      "SELECT top.id + 1 + (SUM(m.count) OVER (ORDER BY m.seq))::bigint - m.count, "
      "m.device, m.received_ms, m.count, m.records, m.raw, m.digest FROM moved m, top");
  s.Bind();
  s.Run();
  return static_cast<std::int64_t>(s.Changes());
}

namespace {

// Rows hold the ids [id, id + count): the events after `after` start in the row that holds
// `after + 1`, and each row read gives at least one event.
constexpr const char* kAllRows =
    "SELECT id, device, received_ms, count, records, raw FROM event_reports "
    "WHERE id > ? AND id + count > ? ORDER BY id LIMIT ?";
// A device's rows are indexed by block of ids, then device: a commit adds to the few pages of
// the newest block, not to a page of each device it has events of. Reading them walks the
// blocks, one index lookup each.
constexpr int kBlockBits = 16;  // as the index and kDeviceRows spell it
constexpr const char* kDeviceRows =
    "SELECT id, device, received_ms, count, records, raw FROM event_reports "
    "WHERE (id >> 16) = ? AND device = ? AND id > ? AND id + count > ? ORDER BY id LIMIT ?";

// Appends the events of the rows `s` steps through, after `after`, while `events` has room.
void AppendEvents(Statement& s, std::int64_t after, std::size_t limit, Json& events) {
  while (events.size() < limit && s.Step()) {
    const std::int64_t id = s.Int(0);
    const std::string serial = SerialText(static_cast<std::uint64_t>(s.Int(1)));
    const std::string receivedAt = IsoTime(s.Int(2));
    const Json records = Json::parse(s.Text(4), nullptr, false);
    const std::vector<std::uint8_t> raw = s.Blob(5);
    const bool asWritten = records.is_array() && raw.size() == records.size() * kRawLength &&
                           std::all_of(records.begin(), records.end(), [](const Json& r) {
                             return r.is_array() && r.size() == kRecordFields;
                           });
    if (!asWritten) {
      s.Reset();
      throw DatabaseError("the event row " + std::to_string(id) + " is not as written");
    }
    for (std::size_t k = 0; k < records.size() && events.size() < limit; ++k) {
      const Json& r = records[k];
      if (id + static_cast<std::int64_t>(k) <= after) {
        continue;
      }
      Json event = {{"id", id + static_cast<std::int64_t>(k)},
                    {"device", serial},
                    {"received_at", receivedAt},
                    {"kind", r[0]}};
      if (!r[1].is_null()) {
        event["number"] = static_cast<std::uint64_t>(r[1].get<std::int64_t>());
      }
      if (!r[2].is_null()) {
        event["code"] = r[2];
      }
      Json values = Json::array();
      for (std::size_t column = 3; column < 11; ++column) {
        values.push_back(r[column]);
      }
      event["values"] = std::move(values);
      event["cardNumber"] = r[11];
      event["digits"] = r[12];
      event["raw"] = Hex(raw.data() + k * kRawLength, kRawLength);
      events.push_back(std::move(event));
    }
  }
  s.Reset();
}

}  // namespace

Json ListEvents(Database& db, std::optional<std::uint64_t> device, std::int64_t after,
                std::size_t limit) {
  const std::int64_t from = after - EventRows::kMaxRecordsPerRow;
  Json events = Json::array();
  if (!device) {
    AppendEvents(db.Prepare(kAllRows).Bind(from, after, static_cast<std::int64_t>(limit)), after,
                 limit, events);
    return events;
  }
  Statement& bounds = db.Prepare("SELECT MIN(id), MAX(id) FROM event_reports");
  bounds.Bind();
  const bool any = bounds.Step() && !bounds.IsNull(0);
  const std::int64_t first = any ? std::max(from, bounds.Int(0)) : 0;
  const std::int64_t last = any ? bounds.Int(1) : -1;
  bounds.Reset();
  for (std::int64_t block = first >> kBlockBits;
       block <= last >> kBlockBits && events.size() < limit; ++block) {
    const auto left = static_cast<std::int64_t>(limit - events.size());
    AppendEvents(db.Prepare(kDeviceRows).Bind(block, *device, from, after, left), after, limit,
                 events);
  }
  return events;
}

void RecentRowDigests(Database& db, std::int64_t sinceMs, std::vector<RecentReport>& reports) {
  // Ids follow the commits, times the link's clock: a row a little older than `sinceMs` may
  // come after a newer one, so the walk goes on a window further before it stops.
  constexpr std::int64_t kSlackMs = 60'000;
  Statement& s =
      db.Prepare("SELECT device, digest, received_ms FROM event_reports ORDER BY id DESC");
  s.Bind();
  while (s.Step()) {
    const std::int64_t ms = s.Int(2);
    if (ms < sinceMs - kSlackMs) {
      break;
    }
    if (ms >= sinceMs && !s.IsNull(1)) {
      const std::vector<std::uint8_t> digest = s.Blob(1);
      reports.push_back(
          {static_cast<std::uint64_t>(s.Int(0)), std::string(digest.begin(), digest.end()), ms});
    }
  }
  s.Reset();
}

std::int64_t NewestEvent(Database& db) {
  return db.Prepare("SELECT id + count - 1 FROM event_reports ORDER BY id DESC LIMIT 1")
      .FirstInt()
      .value_or(0);
}

}  // namespace velkor::gateway
