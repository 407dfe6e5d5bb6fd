// The gateway's store on SQLite: the schema and its migrations, loading the state at start,
// and every statement the link thread and the API run. Each function runs on the connection it
// is given; callers group writes into transactions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Database.h"
#include "State.h"

namespace velkor::gateway {

// The schema version this build writes; older stores are migrated step by step at open.
inline constexpr int kSchemaVersion = 2;

// Milliseconds since the epoch, and the same as ISO 8601 UTC text with milliseconds.
std::int64_t NowMs();
std::string IsoTime(std::int64_t ms);

// Brings the store's schema to kSchemaVersion; throws DatabaseError when the file is not a
// database, is from a newer build, or cannot be written.
void Migrate(Database& db);

// Loads the registry and everything owed to devices into `hub`, and the digests of event
// reports received since `reportsSinceMs` (for the duplicate check).
struct RecentReport {
  std::uint64_t serial;
  std::string digest;
  std::int64_t receivedMs;
};
void LoadState(Database& db, Hub& hub, std::int64_t reportsSinceMs,
               std::vector<RecentReport>& reports);

// ---- Link thread writes ----
void SaveDevice(Database& db, const Device& device);
// One decoded record: its fields in columns of their own (number and code only where the
// record's kind carries them), and its 16 raw bytes.
void InsertEvent(Database& db, std::uint64_t serial, std::int64_t receivedMs,
                 const EventRecord& event, const std::uint8_t* raw);
void InsertReport(Database& db, std::uint64_t serial, const std::string& digest, std::int64_t ms);
void PruneReports(Database& db, std::int64_t beforeMs);
void MarkCommandSent(Database& db, std::int64_t id, const std::string& at,
                     const std::string& answeredPacket, std::int32_t answeredCode);
void SaveListState(Database& db, std::uint64_t serial, ListKind kind, const WantedList& list);
void SaveTemplate(Database& db, std::uint64_t serial, std::uint8_t slot, const Template& data,
                  const char* source, const std::string& at);
void SaveRefusals(Database& db, const std::string& address, std::uint64_t count,
                  const std::string& at);

// ---- API writes ----
std::int64_t InsertCommand(Database& db, std::uint64_t serial, const Json& body,
                           const std::string& at);
void SaveList(Database& db, std::uint64_t serial, ListKind kind, const WantedList& list);
void SaveVoice(Database& db, std::uint64_t serial, std::uint16_t word,
               const std::vector<std::uint8_t>& data, const std::string& at);

// ---- API reads ----
// Events with id above `after`, ascending, at most `limit`; `device` 0 for all devices.
Json ListEvents(Database& db, std::optional<std::uint64_t> device, std::int64_t after,
                std::size_t limit);
Json ListCommands(Database& db, std::uint64_t serial, std::optional<std::int64_t> id);
std::int64_t NewestEvent(Database& db);  // the highest event id, 0 for none

// ---- MQTT ----
// The newest event the broker acknowledged for a topic root, if the root was ever used.
std::optional<std::int64_t> LoadMqttCursor(Database& db, const std::string& root);
void SaveMqttCursor(Database& db, const std::string& root, std::int64_t lastEvent);

}  // namespace velkor::gateway
