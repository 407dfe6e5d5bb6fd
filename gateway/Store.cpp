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
};
static_assert(std::size(kMigrations) == kSchemaVersion);

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

void Migrate(Database& db) {
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

void LoadState(Database& db, Hub& hub, std::int64_t reportsSinceMs,
               std::vector<RecentReport>& reports) {
  Statement& devices = db.Prepare(
      "SELECT serial, type, admitted, pinned_address, address, port, first_seen, last_seen, "
      "first_packet, conflict_address, accepted, answered, conflicts, events, firmware, config, "
      "last_clock_ms FROM devices");
  devices.Bind();
  while (devices.Step()) {
    const auto serial = SerialOf(devices.Text(0));
    if (!serial) {
      continue;
    }
    Device& d = hub.devices[*serial];
    d.serial = *serial;
    d.type = static_cast<int>(devices.Int(1));
    d.admitted = devices.Int(2) != 0;
    hub.pendingDevices += d.admitted ? 0 : 1;
    d.pinnedIp = NullableText(devices, 3);
    d.ip = devices.Text(4);
    d.port = static_cast<std::uint16_t>(devices.Int(5));
    d.firstSeen = devices.Text(6);
    d.lastSeen = devices.Text(7);
    d.lastSeenMs = NowMs();  // silence is counted from the start of this run
    d.firstPacket = devices.Text(8);
    d.conflictAddress = NullableText(devices, 9);
    d.accepted = static_cast<std::uint64_t>(devices.Int(10));
    d.answered = static_cast<std::uint64_t>(devices.Int(11));
    d.conflicts = static_cast<std::uint64_t>(devices.Int(12));
    d.events = static_cast<std::uint64_t>(devices.Int(13));
    if (!devices.IsNull(14)) {
      d.firmware = static_cast<std::int32_t>(devices.Int(14));
    }
    if (const auto config = devices.Blob(15); config.size() == kConfigLength) {
      d.config.emplace();
      std::memcpy(d.config->data(), config.data(), kConfigLength);
    }
    if (!devices.IsNull(16)) {
      d.lastClockMs = devices.Int(16);
      d.lastClockAt = IsoTime(*d.lastClockMs);
    }
  }

  Statement& commands =
      db.Prepare("SELECT id, device, body FROM commands WHERE state = 'queued' ORDER BY id");
  commands.Bind();
  while (commands.Step()) {
    const auto serial = SerialOf(commands.Text(1));
    if (Device* d = serial ? hub.Find(*serial) : nullptr; d != nullptr) {
      d->commands.push_back({commands.Int(0), Json::parse(commands.Text(2))});
    }
  }

  Statement& lists = db.Prepare(
      "SELECT device, kind, body, state, version, set_at, sent_at, confirmed_at FROM lists");
  lists.Bind();
  while (lists.Step()) {
    const auto serial = SerialOf(lists.Text(0));
    const auto kind = ParseListName(lists.Text(1));
    if (Device* d = serial ? hub.Find(*serial) : nullptr; d != nullptr && kind) {
      WantedList& list = d->lists[static_cast<std::size_t>(*kind)].emplace();
      list.body = Json::parse(lists.Text(2));
      list.state = lists.Text(3);
      list.version = lists.Int(4);
      list.setAt = lists.Text(5);
      list.sentAt = NullableText(lists, 6);
      list.confirmedAt = NullableText(lists, 7);
    }
  }

  Statement& templates = db.Prepare("SELECT device, slot, data FROM templates");
  templates.Bind();
  while (templates.Step()) {
    const auto serial = SerialOf(templates.Text(0));
    const auto data = templates.Blob(2);
    if (Device* d = serial ? hub.Find(*serial) : nullptr;
        d != nullptr && data.size() == kTemplateLength) {
      std::memcpy(d->templates[static_cast<std::uint8_t>(templates.Int(1))].data(), data.data(),
                  kTemplateLength);
    }
  }

  Statement& voice = db.Prepare("SELECT device, word, data FROM voice");
  voice.Bind();
  while (voice.Step()) {
    const auto serial = SerialOf(voice.Text(0));
    if (Device* d = serial ? hub.Find(*serial) : nullptr; d != nullptr) {
      d->voice[static_cast<std::uint16_t>(voice.Int(1))] = voice.Blob(2);
    }
  }

  Statement& refusals = db.Prepare("SELECT address, count FROM refusals");
  refusals.Bind();
  while (refusals.Step()) {
    hub.refusedByAddress[refusals.Text(0)] = static_cast<std::uint64_t>(refusals.Int(1));
  }

  Statement& recent =
      db.Prepare("SELECT device, digest, received_ms FROM reports WHERE received_ms >= ?");
  recent.Bind(reportsSinceMs);
  while (recent.Step()) {
    const auto digest = recent.Blob(1);
    reports.push_back({static_cast<std::uint64_t>(recent.Int(0)),
                       std::string(digest.begin(), digest.end()), recent.Int(2)});
  }

  hub.lastEventId = NewestEvent(db);
}

void SaveDevice(Database& db, const Device& d) {
  Statement& s = db.Prepare(
      "INSERT INTO devices (serial, type, admitted, pinned_address, address, port, first_seen, "
      "last_seen, first_packet, conflict_address, accepted, answered, conflicts, events, "
      "firmware, config, last_clock_ms) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
      "ON CONFLICT (serial) DO UPDATE SET type = excluded.type, admitted = excluded.admitted, "
      "pinned_address = excluded.pinned_address, address = excluded.address, port = "
      "excluded.port, last_seen = excluded.last_seen, conflict_address = "
      "excluded.conflict_address, accepted = excluded.accepted, answered = excluded.answered, "
      "conflicts = excluded.conflicts, events = excluded.events, firmware = excluded.firmware, "
      "config = excluded.config, last_clock_ms = excluded.last_clock_ms");
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

void InsertEvent(Database& db, std::uint64_t serial, std::int64_t receivedMs,
                 const EventRecord& event, const std::uint8_t* raw) {
  const EventRecord e = event;
  // Only what the record carries: a number for kinds 0, 3 and 4, a code for kinds 0, 1, 3.
  std::optional<std::int64_t> number, code;
  if (e.kind == 0 || e.kind == 3 || e.kind == 4) {
    number = static_cast<std::int64_t>(e.number);
  }
  if (e.kind == 0 || e.kind == 1 || e.kind == 3) {
    code = e.code;
  }
  db.Prepare(
        "INSERT INTO events (device, received_ms, kind, number, code, value1, value2, value3, "
        "value4, value5, value6, value7, value8, card_number, digits, raw) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
      // Packed fields by value: Bind takes references.
      .Bind(serial, receivedMs, static_cast<int>(e.kind), number, code, static_cast<int>(e.value1),
            static_cast<int>(e.value2), static_cast<int>(e.value3), static_cast<int>(e.value4),
            static_cast<int>(e.value5), static_cast<int>(e.value6), static_cast<int>(e.value7),
            static_cast<int>(e.value8), static_cast<std::int64_t>(e.cardNumber),
            std::string(e.digits, strnlen(e.digits, sizeof e.digits)),
            std::span<const std::uint8_t>(raw, 16))
      .Run();
}

void InsertReport(Database& db, std::uint64_t serial, const std::string& digest, std::int64_t ms) {
  Statement& s = db.Prepare(
      "INSERT INTO reports (device, digest, received_ms) VALUES (?, ?, ?) "
      "ON CONFLICT (device, digest) DO UPDATE SET received_ms = excluded.received_ms");
  s.Bind(serial,
         std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(digest.data()),
                                       digest.size()),
         ms);
  s.Run();
}

void PruneReports(Database& db, std::int64_t beforeMs) {
  db.Prepare("DELETE FROM reports WHERE received_ms < ?").Bind(beforeMs).Run();
}

void MarkCommandSent(Database& db, std::int64_t id, const std::string& at,
                     const std::string& answeredPacket, std::int32_t answeredCode) {
  db.Prepare(
        "UPDATE commands SET state = 'sent', sent_at = ?, answered_packet = ?, answered_code = ? "
        "WHERE id = ? AND state = 'queued'")
      .Bind(at, answeredPacket, answeredCode, id)
      .Run();
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
  db.Prepare("INSERT INTO commands (device, body, state, queued_at) VALUES (?, ?, 'queued', ?)")
      .Bind(SerialText(serial), body.dump(), at)
      .Run();
  return db.LastId();
}

void SaveList(Database& db, std::uint64_t serial, ListKind kind, const WantedList& list) {
  db.Prepare(
        "INSERT INTO lists (device, kind, body, state, version, set_at, sent_at, confirmed_at) "
        "VALUES (?, ?, ?, ?, ?, ?, NULL, NULL) ON CONFLICT (device, kind) DO UPDATE SET body = "
        "excluded.body, state = excluded.state, version = excluded.version, set_at = "
        "excluded.set_at, sent_at = NULL, confirmed_at = NULL")
      .Bind(SerialText(serial), ListName(kind), list.body.dump(), list.state, list.version,
            list.setAt)
      .Run();
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

Json ListEvents(Database& db, std::optional<std::uint64_t> device, std::int64_t after,
                std::size_t limit) {
  static constexpr const char* kColumns =
      "SELECT id, device, received_ms, kind, number, code, value1, value2, value3, value4, "
      "value5, value6, value7, value8, card_number, digits, raw FROM events ";
  static const std::string byDevice =
      std::string(kColumns) + "WHERE device = ? AND id > ? ORDER BY id LIMIT ?";
  static const std::string all = std::string(kColumns) + "WHERE id > ? ORDER BY id LIMIT ?";
  Statement& s = db.Prepare(device ? byDevice.c_str() : all.c_str());
  if (device) {
    s.Bind(*device, after, static_cast<std::int64_t>(limit));
  } else {
    s.Bind(after, static_cast<std::int64_t>(limit));
  }
  Json events = Json::array();
  while (s.Step()) {
    Json event = {{"id", s.Int(0)},
                  {"device", SerialText(static_cast<std::uint64_t>(s.Int(1)))},
                  {"received_at", IsoTime(s.Int(2))},
                  {"kind", s.Int(3)}};
    if (!s.IsNull(4)) {
      event["number"] = static_cast<std::uint64_t>(s.Int(4));
    }
    if (!s.IsNull(5)) {
      event["code"] = s.Int(5);
    }
    Json values = Json::array();
    for (int column = 6; column < 14; ++column) {
      values.push_back(s.Int(column));
    }
    event["values"] = std::move(values);
    event["cardNumber"] = s.Int(14);
    event["digits"] = s.Text(15);
    const auto raw = s.Blob(16);
    event["raw"] = Hex(raw.data(), raw.size());
    events.push_back(std::move(event));
  }
  s.Reset();
  return events;
}

Json ListCommands(Database& db, std::uint64_t serial, std::optional<std::int64_t> id) {
  Statement& s =
      id ? db.Prepare(
               "SELECT id, body, state, queued_at, sent_at, answered_packet, answered_code FROM "
               "commands WHERE device = ? AND id = ?")
         : db.Prepare(
               "SELECT id, body, state, queued_at, sent_at, answered_packet, answered_code FROM "
               "commands WHERE device = ? ORDER BY id");
  if (id) {
    s.Bind(SerialText(serial), *id);
  } else {
    s.Bind(SerialText(serial));
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
  Statement& s = db.Prepare("SELECT last_event FROM mqtt_cursors WHERE root = ?");
  s.Bind(root);
  std::optional<std::int64_t> cursor;
  if (s.Step()) {
    cursor = s.Int(0);
  }
  s.Reset();
  return cursor;
}

void SaveMqttCursor(Database& db, const std::string& root, std::int64_t lastEvent) {
  db.Prepare(
        "INSERT INTO mqtt_cursors (root, last_event) VALUES (?, ?) "
        "ON CONFLICT (root) DO UPDATE SET last_event = excluded.last_event")
      .Bind(root, lastEvent)
      .Run();
}

std::int64_t NewestEvent(Database& db) {
  Statement& s = db.Prepare("SELECT COALESCE(MAX(id), 0) FROM events");
  s.Bind();
  s.Step();
  const std::int64_t id = s.Int(0);
  s.Reset();
  return id;
}

}  // namespace velkor::gateway
