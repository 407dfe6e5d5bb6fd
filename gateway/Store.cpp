#include "Store.h"

#include <chrono>
#include <cstring>
#include <ctime>

namespace velkor::gateway {
namespace {

// Migration k brings a store from version k - 1 to k. Append, never edit: stores in the field
// have run the earlier steps.
constexpr const char* kMigrations[] = {
    // 1: the first schema.
    R"sql(
CREATE TABLE devices (
  serial TEXT PRIMARY KEY,
  type INTEGER NOT NULL,
  admitted INTEGER NOT NULL,
  pinned_address TEXT,
  address TEXT NOT NULL,
  port INTEGER NOT NULL,
  first_seen TEXT NOT NULL,
  last_seen TEXT NOT NULL,
  first_packet TEXT NOT NULL,
  conflict_address TEXT,
  accepted INTEGER NOT NULL DEFAULT 0,
  answered INTEGER NOT NULL DEFAULT 0,
  conflicts INTEGER NOT NULL DEFAULT 0,
  events INTEGER NOT NULL DEFAULT 0,
  firmware INTEGER,
  config BLOB,
  last_clock_ms INTEGER
);
CREATE TABLE events (
  id INTEGER PRIMARY KEY,
  device INTEGER NOT NULL,       -- the serial as a number; the view below shows it as hex
  received_ms INTEGER NOT NULL,  -- milliseconds since 1970 (UTC)
  kind INTEGER NOT NULL,
  number INTEGER,
  code INTEGER,
  value1 INTEGER NOT NULL, value2 INTEGER NOT NULL, value3 INTEGER NOT NULL,
  value4 INTEGER NOT NULL, value5 INTEGER NOT NULL, value6 INTEGER NOT NULL,
  value7 INTEGER NOT NULL, value8 INTEGER NOT NULL,
  card_number INTEGER NOT NULL,
  digits TEXT NOT NULL,
  raw BLOB NOT NULL
);
CREATE INDEX events_by_device ON events (device, id);
-- The events as the API gives them: fields named as in the test vectors, text for the rest.
CREATE VIEW events_text AS
  SELECT id, printf('%014X', device) AS device,
         strftime('%Y-%m-%dT%H:%M:%fZ', received_ms / 1000.0, 'unixepoch') AS received_at,
         kind, number, code,
         json_array(value1, value2, value3, value4, value5, value6, value7, value8) AS "values",
         card_number AS "cardNumber", digits, hex(raw) AS raw
  FROM events;
CREATE TABLE reports (
  device INTEGER NOT NULL,
  digest BLOB NOT NULL,
  received_ms INTEGER NOT NULL,
  PRIMARY KEY (device, digest)
) WITHOUT ROWID;
CREATE TABLE commands (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  device TEXT NOT NULL,
  body TEXT NOT NULL,
  state TEXT NOT NULL,
  queued_at TEXT NOT NULL,
  sent_at TEXT,
  answered_packet TEXT,
  answered_code INTEGER
);
CREATE INDEX commands_by_device ON commands (device, state, id);
CREATE TABLE lists (
  device TEXT NOT NULL,
  kind TEXT NOT NULL,
  body TEXT NOT NULL,
  state TEXT NOT NULL,
  version INTEGER NOT NULL,
  set_at TEXT NOT NULL,
  sent_at TEXT,
  confirmed_at TEXT,
  PRIMARY KEY (device, kind)
);
CREATE TABLE templates (
  device TEXT NOT NULL,
  slot INTEGER NOT NULL,
  data BLOB NOT NULL,
  source TEXT NOT NULL,
  updated_at TEXT NOT NULL,
  PRIMARY KEY (device, slot)
);
CREATE TABLE voice (
  device TEXT NOT NULL,
  word INTEGER NOT NULL,
  data BLOB NOT NULL,
  updated_at TEXT NOT NULL,
  PRIMARY KEY (device, word)
);
CREATE TABLE refusals (
  address TEXT PRIMARY KEY,
  count INTEGER NOT NULL,
  last_at TEXT NOT NULL
);
)sql",
    // 2: where each MQTT root stands in the event log.
    R"sql(
CREATE TABLE mqtt_cursors (
  root TEXT PRIMARY KEY,
  last_event INTEGER NOT NULL
);
)sql",
    // 3: the API's keys (a hash of each, never the key) and the audit trail of every change.
    R"sql(
CREATE TABLE api_keys (
  name TEXT PRIMARY KEY,
  role TEXT NOT NULL,
  hash TEXT NOT NULL UNIQUE,  -- SHA-256 of the key, hex
  created_at TEXT NOT NULL,
  last_used_at TEXT
);
CREATE TABLE audit (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  at TEXT NOT NULL,
  actor TEXT NOT NULL,    -- the key's name, "mqtt", or "cli"
  address TEXT NOT NULL,  -- the client's address
  method TEXT NOT NULL,
  route TEXT NOT NULL,    -- as documented: /api/v1/devices/{serial}/cards
  device TEXT,            -- the serial, when the change is a device's
  detail TEXT NOT NULL,   -- JSON: what changed
  status INTEGER NOT NULL
);
CREATE INDEX audit_by_device ON audit (device, id);
)sql",
    // 4: a row per report. The events keep their ids, each a row of its own; the view `events`
    // shows the rows' records as the table of that name did, and `events_text`, which SQLite
    // binds to `events` by name when it is read, is unchanged.
    R"sql(
CREATE TABLE event_reports (
  id INTEGER PRIMARY KEY,        -- the first record's event id; the others follow it
  device INTEGER NOT NULL,       -- the serial as a number
  received_ms INTEGER NOT NULL,  -- milliseconds since 1970 (UTC)
  count INTEGER NOT NULL,        -- records: ids id .. id + count - 1
  records TEXT NOT NULL,         -- JSON: [[kind, number, code, value1..8, cardNumber, digits], ...]
  raw BLOB NOT NULL,             -- the records' 16 raw bytes each, one after the other
  digest BLOB                    -- the report's, for the duplicate check (none when migrated)
);
INSERT INTO event_reports (id, device, received_ms, count, records, raw)
  SELECT id, device, received_ms, 1,
         json_array(json_array(kind, number, code, value1, value2, value3, value4, value5,
                               value6, value7, value8, card_number, digits)), raw
  FROM events;
DROP TABLE events;
CREATE INDEX event_reports_by_device ON event_reports (device, id);
CREATE VIEW events AS
  SELECT r.id + j.key AS id, r.device, r.received_ms,
         j.value ->> 0 AS kind, j.value ->> 1 AS number, j.value ->> 2 AS code,
         j.value ->> 3 AS value1, j.value ->> 4 AS value2, j.value ->> 5 AS value3,
         j.value ->> 6 AS value4, j.value ->> 7 AS value5, j.value ->> 8 AS value6,
         j.value ->> 9 AS value7, j.value ->> 10 AS value8, j.value ->> 11 AS card_number,
         j.value ->> 12 AS digits, substr(r.raw, j.key * 16 + 1, 16) AS raw
  FROM event_reports r, json_each(r.records) j;
)sql",
    // 5: the stage of event rows that wait for ids is PostgreSQL's: SQLite has one writer.
    "SELECT 1",
    // 6: a device's rows found by block of ids first (see ListEvents).
    R"sql(
DROP INDEX event_reports_by_device;
CREATE INDEX event_reports_by_block ON event_reports ((id >> 16), device, id);
)sql",
    // 7: the site: cardholders, devices' names and tags, lists given by tag, and whether a
    // device's list was set directly (manual, as every list so far) or derived from the site.
    R"sql(
ALTER TABLE lists ADD COLUMN mode TEXT NOT NULL DEFAULT 'manual';
CREATE TABLE device_labels (
  device TEXT PRIMARY KEY,
  name TEXT NOT NULL,
  tags TEXT NOT NULL,  -- JSON array, in the order given
  updated_at TEXT NOT NULL
);
CREATE TABLE holders (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL,
  note TEXT NOT NULL,
  card_number INTEGER NOT NULL UNIQUE,
  card TEXT NOT NULL,     -- JSON: the card record
  devices TEXT NOT NULL,  -- JSON array: tags, serials, "*"
  created_at TEXT NOT NULL,
  updated_at TEXT NOT NULL
);
CREATE TABLE tag_lists (
  tag TEXT NOT NULL,
  kind TEXT NOT NULL,
  body TEXT NOT NULL,
  updated_at TEXT NOT NULL,
  PRIMARY KEY (tag, kind)
);
CREATE TABLE site (
  id INTEGER PRIMARY KEY CHECK (id = 1),
  version INTEGER NOT NULL
);
INSERT INTO site (id, version) VALUES (1, 0);
)sql",
};
static_assert(std::size(kMigrations) == kSchemaVersion);

// The same steps on PostgreSQL: the same tables, columns and names, in its types. Several
// gateways may share the database; they take turns through an advisory lock.
constexpr const char* kPostgresMigrations[] = {
    // 1: the first schema.
    R"sql(
CREATE TABLE devices (
  serial TEXT PRIMARY KEY,
  type INTEGER NOT NULL,
  admitted INTEGER NOT NULL,
  pinned_address TEXT,
  address TEXT NOT NULL,
  port INTEGER NOT NULL,
  first_seen TEXT NOT NULL,
  last_seen TEXT NOT NULL,
  first_packet TEXT NOT NULL,
  conflict_address TEXT,
  accepted BIGINT NOT NULL DEFAULT 0,
  answered BIGINT NOT NULL DEFAULT 0,
  conflicts BIGINT NOT NULL DEFAULT 0,
  events BIGINT NOT NULL DEFAULT 0,
  firmware BIGINT,
  config BYTEA,
  last_clock_ms BIGINT
);
CREATE INDEX devices_by_last_seen ON devices (last_seen);
CREATE TABLE events (
  id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
  device BIGINT NOT NULL,        -- the serial as a number; the view below shows it as hex
  received_ms BIGINT NOT NULL,   -- milliseconds since 1970 (UTC)
  kind INTEGER NOT NULL,
  number BIGINT,
  code INTEGER,
  value1 INTEGER NOT NULL, value2 INTEGER NOT NULL, value3 INTEGER NOT NULL,
  value4 INTEGER NOT NULL, value5 INTEGER NOT NULL, value6 INTEGER NOT NULL,
  value7 INTEGER NOT NULL, value8 INTEGER NOT NULL,
  card_number BIGINT NOT NULL,
  digits TEXT NOT NULL,
  raw BYTEA NOT NULL
);
CREATE INDEX events_by_device ON events (device, id);
CREATE VIEW events_text AS
  SELECT id, upper(lpad(to_hex(device), 14, '0')) AS device,
         to_char(to_timestamp(received_ms / 1000.0) AT TIME ZONE 'UTC',
                 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"') AS received_at,
         kind, number, code,
         json_build_array(value1, value2, value3, value4, value5, value6, value7, value8)::text
           AS "values",
         card_number AS "cardNumber", digits, upper(encode(raw, 'hex')) AS raw
  FROM events;
CREATE TABLE reports (
  device BIGINT NOT NULL,
  digest BYTEA NOT NULL,
  received_ms BIGINT NOT NULL,
  PRIMARY KEY (device, digest)
);
CREATE INDEX reports_by_time ON reports (received_ms);  -- pruned every second
CREATE TABLE commands (
  id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
  device TEXT NOT NULL,
  body TEXT NOT NULL,
  state TEXT NOT NULL,
  queued_at TEXT NOT NULL,
  sent_at TEXT,
  answered_packet TEXT,
  answered_code INTEGER
);
CREATE INDEX commands_by_device ON commands (device, state, id);
CREATE TABLE lists (
  device TEXT NOT NULL,
  kind TEXT NOT NULL,
  body TEXT NOT NULL,
  state TEXT NOT NULL,
  version BIGINT NOT NULL,
  set_at TEXT NOT NULL,
  sent_at TEXT,
  confirmed_at TEXT,
  PRIMARY KEY (device, kind)
);
CREATE TABLE templates (
  device TEXT NOT NULL,
  slot INTEGER NOT NULL,
  data BYTEA NOT NULL,
  source TEXT NOT NULL,
  updated_at TEXT NOT NULL,
  PRIMARY KEY (device, slot)
);
CREATE TABLE voice (
  device TEXT NOT NULL,
  word INTEGER NOT NULL,
  data BYTEA NOT NULL,
  updated_at TEXT NOT NULL,
  PRIMARY KEY (device, word)
);
CREATE TABLE refusals (
  address TEXT PRIMARY KEY,
  count BIGINT NOT NULL,
  last_at TEXT NOT NULL
);
)sql",
    // 2: where each MQTT root stands in the event log.
    R"sql(
CREATE TABLE mqtt_cursors (
  root TEXT PRIMARY KEY,
  last_event BIGINT NOT NULL
);
)sql",
    // 3: the API's keys (a hash of each, never the key) and the audit trail of every change.
    R"sql(
CREATE TABLE api_keys (
  name TEXT PRIMARY KEY,
  role TEXT NOT NULL,
  hash TEXT NOT NULL UNIQUE,
  created_at TEXT NOT NULL,
  last_used_at TEXT
);
CREATE TABLE audit (
  id BIGSERIAL PRIMARY KEY,
  at TEXT NOT NULL,
  actor TEXT NOT NULL,
  address TEXT NOT NULL,
  method TEXT NOT NULL,
  route TEXT NOT NULL,
  device TEXT,
  detail TEXT NOT NULL,
  status INTEGER NOT NULL
);
CREATE INDEX audit_by_device ON audit (device, id);
)sql",
    // 4: a row per report, as on SQLite. PostgreSQL binds a view to its tables, so
    // `events_text` is made again, as it was, on the view `events`.
    R"sql(
CREATE TABLE event_reports (
  id BIGINT PRIMARY KEY,
  device BIGINT NOT NULL,
  received_ms BIGINT NOT NULL,
  count INTEGER NOT NULL,
  records JSON NOT NULL,
  raw BYTEA NOT NULL,
  digest BYTEA
);
INSERT INTO event_reports (id, device, received_ms, count, records, raw)
  SELECT id, device, received_ms, 1,
         json_build_array(json_build_array(kind, number, code, value1, value2, value3, value4,
                                           value5, value6, value7, value8, card_number, digits)),
         raw
  FROM events;
DROP VIEW events_text;
DROP TABLE events;
CREATE INDEX event_reports_by_device ON event_reports (device, id);
CREATE VIEW events AS
  SELECT r.id + e.n - 1 AS id, r.device, r.received_ms,
         (e.v ->> 0)::integer AS kind, (e.v ->> 1)::bigint AS number, (e.v ->> 2)::integer AS code,
         (e.v ->> 3)::integer AS value1, (e.v ->> 4)::integer AS value2,
         (e.v ->> 5)::integer AS value3, (e.v ->> 6)::integer AS value4,
         (e.v ->> 7)::integer AS value5, (e.v ->> 8)::integer AS value6,
         (e.v ->> 9)::integer AS value7, (e.v ->> 10)::integer AS value8,
         (e.v ->> 11)::bigint AS card_number, e.v ->> 12 AS digits,
         substring(r.raw from ((e.n - 1) * 16 + 1)::integer for 16) AS raw
  FROM event_reports r CROSS JOIN LATERAL json_array_elements(r.records) WITH ORDINALITY AS e(v, n);
CREATE VIEW events_text AS
  SELECT id, upper(lpad(to_hex(device), 14, '0')) AS device,
         to_char(to_timestamp(received_ms / 1000.0) AT TIME ZONE 'UTC',
                 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"') AS received_at,
         kind, number, code,
         json_build_array(value1, value2, value3, value4, value5, value6, value7, value8)::text
           AS "values",
         card_number AS "cardNumber", digits, upper(encode(raw, 'hex')) AS raw
  FROM events;
)sql",
    // 5: event rows committed while another gateway held the event order, in the order they
    // were staged; whoever holds it next moves them into event_reports under the next ids.
    R"sql(
CREATE TABLE event_stage (
  seq BIGSERIAL PRIMARY KEY,
  device BIGINT NOT NULL,
  received_ms BIGINT NOT NULL,
  count INTEGER NOT NULL,
  records JSON NOT NULL,
  raw BYTEA NOT NULL,
  digest BYTEA
);
)sql",
    // 6: a device's rows found by block of ids first (see ListEvents).
    R"sql(
DROP INDEX event_reports_by_device;
CREATE INDEX event_reports_by_block ON event_reports ((id >> 16), device, id);
)sql",
    // 7: the site: cardholders, devices' names and tags, lists given by tag, and whether a
    // device's list was set directly (manual, as every list so far) or derived from the site.
    R"sql(
ALTER TABLE lists ADD COLUMN mode TEXT NOT NULL DEFAULT 'manual';
CREATE TABLE device_labels (
  device TEXT PRIMARY KEY,
  name TEXT NOT NULL,
  tags TEXT NOT NULL,  -- JSON array, in the order given
  updated_at TEXT NOT NULL
);
CREATE TABLE holders (
  id BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
  name TEXT NOT NULL,
  note TEXT NOT NULL,
  card_number BIGINT NOT NULL UNIQUE,
  card TEXT NOT NULL,     -- JSON: the card record
  devices TEXT NOT NULL,  -- JSON array: tags, serials, "*"
  created_at TEXT NOT NULL,
  updated_at TEXT NOT NULL
);
CREATE TABLE tag_lists (
  tag TEXT NOT NULL,
  kind TEXT NOT NULL,
  body TEXT NOT NULL,
  updated_at TEXT NOT NULL,
  PRIMARY KEY (tag, kind)
);
CREATE TABLE site (
  id INTEGER PRIMARY KEY CHECK (id = 1),
  version BIGINT NOT NULL
);
INSERT INTO site (id, version) VALUES (1, 0);
)sql",
};
static_assert(std::size(kPostgresMigrations) == kSchemaVersion);

// The advisory lock key of migrations on the shared database.
constexpr const char* kLockMigrations = "SELECT pg_advisory_xact_lock(478100)";

std::string NullableText(const Statement& s, int column) {
  return s.IsNull(column) ? std::string() : s.Text(column);
}

std::optional<std::string> Nullable(const std::string& text) {
  return text.empty() ? std::nullopt : std::optional<std::string>(text);
}

std::optional<std::uint64_t> SerialOf(const std::string& text) {
  return ParseSerial(text);
}

}  // namespace

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string IsoTime(std::int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(ms % 1000));
  return text;
}

namespace {

void MigratePostgres(Database& db) {
  // Gateways that start together take turns; the first migrates, the others find it done.
  Transaction transaction(db);
  db.Exec(kLockMigrations);
  db.Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
  Statement& version = db.Prepare("SELECT COALESCE(MAX(version), 0) FROM schema_version");
  version.Bind();
  version.Step();
  const std::int64_t current = version.Int(0);
  version.Reset();
  if (current > kSchemaVersion) {
    throw DatabaseError("the store has schema version " + std::to_string(current) +
                        ", newer than this gateway's " + std::to_string(kSchemaVersion));
  }
  for (std::int64_t step = current; step < kSchemaVersion; ++step) {
    db.Exec(kPostgresMigrations[step]);
  }
  db.Exec("DELETE FROM schema_version");
  db.Prepare("INSERT INTO schema_version (version) VALUES (?)").Bind(kSchemaVersion).Run();
  transaction.Commit();
}

}  // namespace

void Migrate(Database& db) {
  if (db.engine() == Engine::kPostgres) {
    MigratePostgres(db);
    return;
  }
  Statement& version = db.Prepare("PRAGMA user_version");
  version.Bind();
  version.Step();
  const std::int64_t current = version.Int(0);
  version.Reset();
  if (current > kSchemaVersion) {
    throw DatabaseError("the store has schema version " + std::to_string(current) +
                        ", newer than this gateway's " + std::to_string(kSchemaVersion));
  }
  // Even an up-to-date store takes a write here, so that a read-only file fails at start.
  Transaction transaction(db);
  for (std::int64_t step = current; step < kSchemaVersion; ++step) {
    db.Exec(kMigrations[step]);
  }
  db.Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
  transaction.Commit();
}

namespace {

constexpr const char* kDeviceColumns =
    "SELECT serial, type, admitted, pinned_address, address, port, first_seen, last_seen, "
    "first_packet, conflict_address, accepted, answered, conflicts, events, firmware, config, "
    "last_clock_ms FROM devices ";

// A device row as the registry holds it; nothing owed yet.
std::optional<Device> ReadDeviceRow(const Statement& row) {
  const auto serial = SerialOf(row.Text(0));
  if (!serial) {
    return std::nullopt;
  }
  Device d;
  d.serial = *serial;
  d.type = static_cast<int>(row.Int(1));
  d.admitted = row.Int(2) != 0;
  d.pinnedIp = NullableText(row, 3);
  d.ip = row.Text(4);
  d.port = static_cast<std::uint16_t>(row.Int(5));
  d.firstSeen = row.Text(6);
  d.lastSeen = row.Text(7);
  d.lastSeenMs = ParseIsoTime(d.lastSeen).value_or(0);
  d.firstPacket = row.Text(8);
  d.conflictAddress = NullableText(row, 9);
  d.accepted = static_cast<std::uint64_t>(row.Int(10));
  d.answered = static_cast<std::uint64_t>(row.Int(11));
  d.conflicts = static_cast<std::uint64_t>(row.Int(12));
  d.events = static_cast<std::uint64_t>(row.Int(13));
  if (!row.IsNull(14)) {
    d.firmware = static_cast<std::int32_t>(row.Int(14));
  }
  if (const auto config = row.Blob(15); config.size() == kConfigLength) {
    d.config.emplace();
    std::memcpy(d.config->data(), config.data(), kConfigLength);
  }
  if (!row.IsNull(16)) {
    d.lastClockMs = row.Int(16);
    d.lastClockAt = IsoTime(*d.lastClockMs);
  }
  return d;
}

void CommandRow(const Statement& row, Device& d) {
  d.commands.push_back({row.Int(1), Json::parse(row.Text(2))});
}

void ListRow(const Statement& row, Device& d) {
  const auto kind = ParseListName(row.Text(1));
  if (!kind) {
    return;
  }
  WantedList& list = d.lists[static_cast<std::size_t>(*kind)].emplace();
  list.body = Json::parse(row.Text(2));
  list.state = row.Text(3);
  list.version = row.Int(4);
  list.setAt = row.Text(5);
  list.sentAt = NullableText(row, 6);
  list.confirmedAt = NullableText(row, 7);
  list.derived = row.Text(8) == "derived";
}

void LabelsRow(const Statement& row, Device& d) {
  d.labels.name = row.Text(1);
  d.labels.tags = Json::parse(row.Text(2)).get<std::vector<std::string>>();
  d.labelled = true;
}

void TemplateRow(const Statement& row, Device& d) {
  const auto data = row.Blob(2);
  if (data.size() == kTemplateLength) {
    std::memcpy(d.templates[static_cast<std::uint8_t>(row.Int(1))].data(), data.data(),
                kTemplateLength);
  }
}

void VoiceRow(const Statement& row, Device& d) {
  d.voice[static_cast<std::uint16_t>(row.Int(1))] = row.Blob(2);
}

// What is owed to devices: each table read whole, or for one device, row by row into the device
// the row's first column names.
struct OwedQuery {
  const char* all;
  const char* one;
  void (*read)(const Statement&, Device&);
};
constexpr OwedQuery kOwed[] = {
    {"SELECT device, id, body FROM commands WHERE state = 'queued' ORDER BY id",
     "SELECT device, id, body FROM commands WHERE state = 'queued' AND device = ? ORDER BY id",
     CommandRow},
    {"SELECT device, kind, body, state, version, set_at, sent_at, confirmed_at, mode FROM lists",
     "SELECT device, kind, body, state, version, set_at, sent_at, confirmed_at, mode FROM lists "
     "WHERE device = ?",
     ListRow},
    {"SELECT device, name, tags FROM device_labels",
     "SELECT device, name, tags FROM device_labels WHERE device = ?", LabelsRow},
    {"SELECT device, slot, data FROM templates",
     "SELECT device, slot, data FROM templates WHERE device = ?", TemplateRow},
    {"SELECT device, word, data FROM voice",
     "SELECT device, word, data FROM voice WHERE device = ?", VoiceRow},
};

// Into the devices of `hub`: what is owed to all of them, or to the one `device` names.
void LoadOwed(Database& db, Hub& hub, const std::string* device) {
  for (const OwedQuery& query : kOwed) {
    Statement& s =
        device != nullptr ? db.Prepare(query.one).Bind(*device) : db.Prepare(query.all).Bind();
    while (s.Step()) {
      const auto serial = SerialOf(s.Text(0));
      if (Device* d = serial ? hub.Find(*serial) : nullptr; d != nullptr) {
        query.read(s, *d);
      }
    }
  }
}

}  // namespace

std::optional<std::int64_t> ParseIsoTime(const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millis = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &year, &month, &day, &hour, &minute,
                  &second, &millis) != 7) {
    return std::nullopt;
  }
  std::tm utc{};
  utc.tm_year = year - 1900;
  utc.tm_mon = month - 1;
  utc.tm_mday = day;
  utc.tm_hour = hour;
  utc.tm_min = minute;
  utc.tm_sec = second;
  return static_cast<std::int64_t>(timegm(&utc)) * 1000 + millis;
}

void LoadFleet(Database& db, Hub& hub) {
  Statement& devices = db.Prepare(kDeviceColumns);
  devices.Bind();
  while (devices.Step()) {
    if (auto d = ReadDeviceRow(devices)) {
      hub.pendingDevices += d->admitted ? 0 : 1;
      const std::uint64_t serial = d->serial;
      hub.devices[serial] = std::move(*d);
    }
  }
  LoadOwed(db, hub, nullptr);
  hub.lastEventId = NewestEvent(db);
}

void LoadState(Database& db, Hub& hub, std::int64_t reportsSinceMs,
               std::vector<RecentReport>& reports) {
  LoadFleet(db, hub);
  const std::int64_t now = NowMs();
  for (auto& [_, device] : hub.devices) {
    device.lastSeenMs = now;  // silence is counted from the start of this run
  }

  Statement& refusals = db.Prepare("SELECT address, count FROM refusals");
  refusals.Bind();
  while (refusals.Step()) {
    hub.refusedByAddress[refusals.Text(0)] = static_cast<std::uint64_t>(refusals.Int(1));
  }

  // On SQLite the reports' rows keep their digests, and `reports` only those of a store from
  // before them.
  Statement& recent =
      db.Prepare("SELECT device, digest, received_ms FROM reports WHERE received_ms >= ?");
  recent.Bind(reportsSinceMs);
  while (recent.Step()) {
    const auto digest = recent.Blob(1);
    reports.push_back({static_cast<std::uint64_t>(recent.Int(0)),
                       std::string(digest.begin(), digest.end()), recent.Int(2)});
  }
  if (db.engine() == Engine::kSqlite) {
    RecentRowDigests(db, reportsSinceMs, reports);
  }
}

std::optional<Device> LoadDevice(Database& db, std::uint64_t serial) {
  static const std::string byId = std::string(kDeviceColumns) + "WHERE serial = ?";
  const std::string text = SerialText(serial);
  Statement& row = db.Prepare(byId.c_str());
  row.Bind(text);
  std::optional<Device> device = row.Step() ? ReadDeviceRow(row) : std::nullopt;
  row.Reset();
  if (!device) {
    return std::nullopt;
  }
  Hub one;  // LoadOwed fills a hub's devices
  one.devices.emplace(serial, std::move(*device));
  LoadOwed(db, one, &text);
  return std::move(one.devices.begin()->second);
}

std::vector<Device> LoadRegistry(Database& db, const std::string& seenSince) {
  static const std::string since = std::string(kDeviceColumns) + "WHERE last_seen >= ?";
  Statement& rows = db.Prepare(since.c_str());
  rows.Bind(seenSince);
  std::vector<Device> devices;
  while (rows.Step()) {
    if (auto d = ReadDeviceRow(rows)) {
      devices.push_back(std::move(*d));
    }
  }
  return devices;
}

namespace {

#define VELKOR_DEVICE_INSERT                                                                     \
  "INSERT INTO devices (serial, type, admitted, pinned_address, address, port, first_seen, "     \
  "last_seen, first_packet, conflict_address, accepted, answered, conflicts, events, firmware, " \
  "config, last_clock_ms) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "

void RunDeviceRow(Statement& s, const DeviceRow& d) {
  const auto text = [](const std::string& t) {
    return t.empty() ? std::nullopt : std::optional<std::string>(t);
  };
  std::optional<std::vector<std::uint8_t>> config;
  if (d.config) {
    config.emplace(d.config->begin(), d.config->end());
  }
  std::optional<std::int64_t> firmware;
  if (d.firmware) {
    firmware = *d.firmware;
  }
  s.Bind(SerialText(d.serial), d.type, d.admitted ? 1 : 0, text(d.pinnedIp), d.ip, d.port,
         d.firstSeen, d.lastSeen, d.firstPacket, text(d.conflictAddress), d.accepted, d.answered,
         d.conflicts, d.events, firmware, config, d.lastClockMs);
  s.Run();
}

}  // namespace

// The link's insert and the API's admission each write the whole row when it is missing and
// only their own columns when it is there, so that they commute: an admission committed before
// the link's first row of the device is kept.
void SaveDevice(Database& db, const DeviceRow& d) {
  RunDeviceRow(db.Prepare(VELKOR_DEVICE_INSERT
                          "ON CONFLICT (serial) DO UPDATE SET type = excluded.type, address = "
                          "excluded.address, port = excluded.port, last_seen = excluded.last_seen, "
                          "conflict_address = excluded.conflict_address, accepted = "
                          "excluded.accepted, answered = excluded.answered, conflicts = "
                          "excluded.conflicts, events = excluded.events, firmware = "
                          "excluded.firmware, config = excluded.config, last_clock_ms = "
                          "excluded.last_clock_ms"),
               d);
}

void SaveAdmission(Database& db, const DeviceRow& d) {
  RunDeviceRow(db.Prepare(VELKOR_DEVICE_INSERT
                          "ON CONFLICT (serial) DO UPDATE SET admitted = 1, pinned_address = "
                          "excluded.pinned_address"),
               d);
}

#undef VELKOR_DEVICE_INSERT

std::optional<Template> LoadTemplate(Database& db, std::uint64_t serial, std::uint8_t slot) {
  Statement& s = db.Prepare("SELECT data FROM templates WHERE device = ? AND slot = ?");
  s.Bind(SerialText(serial), slot);
  std::optional<Template> found;
  if (s.Step()) {
    const auto data = s.Blob(0);
    if (data.size() == kTemplateLength) {
      found.emplace();
      std::copy(data.begin(), data.end(), found->begin());
    }
  }
  s.Reset();
  return found;
}

bool MarkCommandSent(Database& db, std::int64_t id, const std::string& at,
                     const std::string& answeredPacket, std::int32_t answeredCode) {
  Statement& s = db.Prepare(
      "UPDATE commands SET state = 'sent', sent_at = ?, answered_packet = ?, answered_code = ? "
      "WHERE id = ? AND state = 'queued'");
  s.Bind(at, answeredPacket, answeredCode, id).Run();
  return s.Changes() == 1;
}

void SaveListState(Database& db, std::uint64_t serial, ListKind kind, const WantedList& list) {
  db.Prepare(
        "UPDATE lists SET state = ?, sent_at = ?, confirmed_at = ? "
        "WHERE device = ? AND kind = ? AND version = ?")
      .Bind(list.state, Nullable(list.sentAt), Nullable(list.confirmedAt), SerialText(serial),
            ListName(kind), list.version)
      .Run();
}

void SaveTemplate(Database& db, std::uint64_t serial, std::uint8_t slot, const Template& data,
                  const char* source, const std::string& at) {
  db.Prepare(
        "INSERT INTO templates (device, slot, data, source, updated_at) VALUES (?, ?, ?, ?, ?) "
        "ON CONFLICT (device, slot) DO UPDATE SET data = excluded.data, source = "
        "excluded.source, updated_at = excluded.updated_at")
      .Bind(SerialText(serial), slot, std::span<const std::uint8_t>(data), source, at)
      .Run();
}

void SaveRefusals(Database& db, const std::string& address, std::uint64_t count,
                  const std::string& at) {
  db.Prepare(
        "INSERT INTO refusals (address, count, last_at) VALUES (?, ?, ?) "
        "ON CONFLICT (address) DO UPDATE SET count = excluded.count, last_at = excluded.last_at")
      .Bind(address, count, at)
      .Run();
}

std::int64_t InsertCommand(Database& db, std::uint64_t serial, const Json& body,
                           const std::string& at) {
  Statement& s = db.Prepare(
      "INSERT INTO commands (device, body, state, queued_at) VALUES (?, ?, 'queued', ?) "
      "RETURNING id");
  s.Bind(SerialText(serial), body.dump(), at);
  if (!s.Step()) {
    throw DatabaseError("the new command got no id");
  }
  const std::int64_t id = s.Int(0);
  s.Run();
  db.Prepare(
        "DELETE FROM commands WHERE device = ? AND state = 'sent' AND id <= (SELECT id FROM "
        "commands WHERE device = ? AND state = 'sent' ORDER BY id DESC LIMIT 1 OFFSET ?)")
      .Bind(SerialText(serial), SerialText(serial), kKeptSentCommands)
      .Run();
  return id;
}

namespace {

// One statement reads and bumps the version: PostgreSQL's upsert takes the row's lock and sees
// the newest committed version, SQLite holds the write lock. `sql` is kListUpsert with its
// ending; nullopt where that ending's condition kept the stored row.
constexpr const char* kListUpsert =
    "INSERT INTO lists (device, kind, body, state, version, set_at, sent_at, confirmed_at, mode) "
    "VALUES (?, ?, ?, ?, 1, ?, NULL, NULL, ?) ON CONFLICT (device, kind) DO UPDATE SET body = "
    "excluded.body, state = excluded.state, version = lists.version + 1, set_at = "
    "excluded.set_at, sent_at = NULL, confirmed_at = NULL, mode = excluded.mode ";

std::optional<std::int64_t> UpsertList(Database& db, const std::string& sql, std::uint64_t serial,
                                       ListKind kind, const WantedList& list, bool derived) {
  Statement& s = db.Prepare(sql.c_str());
  s.Bind(SerialText(serial), ListName(kind), list.body.dump(), list.state, list.setAt,
         derived ? "derived" : "manual");
  std::optional<std::int64_t> version;
  if (s.Step()) {
    version = s.Int(0);
  }
  s.Run();
  return version;
}

}  // namespace

std::int64_t SaveList(Database& db, std::uint64_t serial, ListKind kind, const WantedList& list) {
  static const std::string sql = std::string(kListUpsert) + "RETURNING version";
  const auto version = UpsertList(db, sql, serial, kind, list, list.derived);
  if (!version) {
    throw DatabaseError("the list got no version");
  }
  return *version;
}

std::optional<std::int64_t> SaveDerivedList(Database& db, std::uint64_t serial, ListKind kind,
                                            const WantedList& list) {
  static const std::string sql =
      std::string(kListUpsert) + "WHERE lists.mode = 'derived' RETURNING version";
  return UpsertList(db, sql, serial, kind, list, true);
}

void SaveVoice(Database& db, std::uint64_t serial, std::uint16_t word,
               const std::vector<std::uint8_t>& data, const std::string& at) {
  db.Prepare(
        "INSERT INTO voice (device, word, data, updated_at) VALUES (?, ?, ?, ?) "
        "ON CONFLICT (device, word) DO UPDATE SET data = excluded.data, updated_at = "
        "excluded.updated_at")
      .Bind(SerialText(serial), word, data, at)
      .Run();
}

Json ListCommands(Database& db, std::uint64_t serial, std::optional<std::int64_t> id,
                  std::int64_t after, std::size_t limit) {
  Statement& s =
      id ? db.Prepare(
               "SELECT id, body, state, queued_at, sent_at, answered_packet, answered_code FROM "
               "commands WHERE device = ? AND id = ?")
         : db.Prepare(
               "SELECT id, body, state, queued_at, sent_at, answered_packet, answered_code FROM "
               "commands WHERE device = ? AND id > ? ORDER BY id LIMIT ?");
  if (id) {
    s.Bind(SerialText(serial), *id);
  } else {
    s.Bind(SerialText(serial), after, static_cast<std::int64_t>(limit));
  }
  Json commands = Json::array();
  while (s.Step()) {
    Json c = {{"id", s.Int(0)},
              {"device", SerialText(serial)},
              {"state", s.Text(2)},
              {"body", Json::parse(s.Text(1))},
              {"queued_at", s.Text(3)}};
    if (!s.IsNull(4)) {
      c["sent_at"] = s.Text(4);
      c["answered"] = {{"code", s.Int(6)}, {"packet", s.Text(5)}};
    }
    commands.push_back(std::move(c));
  }
  s.Reset();
  return commands;
}

std::optional<std::int64_t> LoadMqttCursor(Database& db, const std::string& root) {
  return db.Prepare("SELECT last_event FROM mqtt_cursors WHERE root = ?").FirstInt(root);
}

void SaveMqttCursor(Database& db, const std::string& root, std::int64_t lastEvent) {
  db.Prepare(
        "INSERT INTO mqtt_cursors (root, last_event) VALUES (?, ?) "
        "ON CONFLICT (root) DO UPDATE SET last_event = excluded.last_event")
      .Bind(root, lastEvent)
      .Run();
}

void Announce(Database& db, const std::string& origin, std::uint64_t serial) {
  if (db.engine() == Engine::kPostgres) {
    db.Prepare("SELECT pg_notify(?, ?)")
        .Bind(kDevicesChannel, origin + " " + SerialText(serial))
        .Run();
  }
}

void AnnounceEvents(Database& db, const std::string& origin, std::int64_t lastEvent) {
  if (db.engine() == Engine::kPostgres) {
    db.Prepare("SELECT pg_notify(?, ?)")
        .Bind(kEventsChannel, origin + " " + std::to_string(lastEvent))
        .Run();
  }
}

}  // namespace velkor::gateway
