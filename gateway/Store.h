// The gateway's store on SQLite: the schema and its migrations, loading the state at start,
// and every statement the link thread and the API run. Each function runs on the connection it
// is given; callers group writes into transactions.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Database.h"
#include "EventLog.h"
#include "State.h"

namespace velkor::gateway {

// The schema version this build writes; older stores are migrated step by step at open.
inline constexpr int kSchemaVersion = 7;

// Milliseconds since the epoch, and the same as ISO 8601 UTC text with milliseconds.
std::int64_t NowMs();
std::string IsoTime(std::int64_t ms);
std::optional<std::int64_t> ParseIsoTime(const std::string& text);  // IsoTime's text back

// Channels of the notifications gateways that share a PostgreSQL store send each other, with
// the sender's origin (a random id of each run) and a serial or the newest event id.
inline constexpr const char* kDevicesChannel = "velkor_devices";
inline constexpr const char* kEventsChannel = "velkor_events";

// Brings the store's schema to kSchemaVersion; throws DatabaseError when the file is not a
// database, is from a newer build, or cannot be written.
void Migrate(Database& db);

// Every device of the store with everything owed to it, and the newest event id, into `hub`.
void LoadFleet(Database& db, Hub& hub);
// LoadFleet at start, with silence counted from now, the refusal counts, and the digests of
// event reports received since `reportsSinceMs` (for the duplicate check).
void LoadState(Database& db, Hub& hub, std::int64_t reportsSinceMs,
               std::vector<RecentReport>& reports);

// One device with everything owed to it (queued commands, lists, templates, voice clips), or
// nullopt when the store has none of that serial.
std::optional<Device> LoadDevice(Database& db, std::uint64_t serial);
// The registry rows of devices seen at or after `seenSince` (IsoTime text), nothing owed.
std::vector<Device> LoadRegistry(Database& db, const std::string& seenSince);

// ---- Link thread writes ----
// Inserts a device's row, or updates what the link learns of it; never its admission, which
// SaveAdmission alone changes (another gateway may have admitted it meanwhile).
void SaveDevice(Database& db, const DeviceRow& device);
// `device` admitted, with its pin: inserted whole when the store has no row of it yet.
void SaveAdmission(Database& db, const DeviceRow& device);
std::optional<Template> LoadTemplate(Database& db, std::uint64_t serial, std::uint8_t slot);

// Claims a queued command as sent; false when it was not queued any more (another gateway
// sent it), in which case it must not go out.
bool MarkCommandSent(Database& db, std::int64_t id, const std::string& at,
                     const std::string& answeredPacket, std::int32_t answeredCode);
// Tells the other gateways on the store that a device's row or what is owed to it changed,
// or that events up to `lastEvent` are stored (sent at commit; nothing on SQLite).
void Announce(Database& db, const std::string& origin, std::uint64_t serial);
void AnnounceEvents(Database& db, const std::string& origin, std::int64_t lastEvent);
// An API write of what is owed to a device (`write` runs the statements) and its notice to the
// other gateways, in one transaction: both or neither. Memory takes the change after this returns.
template <typename Write>
void WriteAnnounced(Database& db, const std::string& origin, std::uint64_t serial, Write write) {
  Transaction transaction(db);
  write();
  Announce(db, origin, serial);
  transaction.Commit();
}
// The state of the list's version. When the store holds another version (a newer one was set
// meanwhile) the write is stale and changes nothing: the newer version stays wanted, and the
// gateway that set it announces it, so every gateway's memory takes it from the store.
void SaveListState(Database& db, std::uint64_t serial, ListKind kind, const WantedList& list);
void SaveTemplate(Database& db, std::uint64_t serial, std::uint8_t slot, const Template& data,
                  const char* source, const std::string& at);
void SaveRefusals(Database& db, const std::string& address, std::uint64_t count,
                  const std::string& at);

// ---- API writes ----
// Queues a command; in the same transaction a device's finished (sent) commands beyond the
// newest kKeptSentCommands are deleted.
inline constexpr std::int64_t kKeptSentCommands = 1000;
std::int64_t InsertCommand(Database& db, std::uint64_t serial, const Json& body,
                           const std::string& at);
// Sets the list's body, wanted from now on; returns the version the store gave it, one past the
// stored one (1 for the first). Versions come from the store alone, so gateways that set a list
// at the same moment get different ones, and the higher wins everywhere.
std::int64_t SaveList(Database& db, std::uint64_t serial, ListKind kind, const WantedList& list);
// The same for a list the site derived, but a stored list that was set directly (manual mode)
// is left as it is: nullopt then. Another gateway may have set it since this one heard of it.
std::optional<std::int64_t> SaveDerivedList(Database& db, std::uint64_t serial, ListKind kind,
                                            const WantedList& list);
void SaveVoice(Database& db, std::uint64_t serial, std::uint16_t word,
               const std::vector<std::uint8_t>& data, const std::string& at);

// ---- API reads ----
// One command by id, or the device's commands with id above `after`, ascending, at most `limit`.
Json ListCommands(Database& db, std::uint64_t serial, std::optional<std::int64_t> id,
                  std::int64_t after = 0, std::size_t limit = 1000);

// ---- MQTT ----
// The newest event the broker acknowledged for a topic root, if the root was ever used.
std::optional<std::int64_t> LoadMqttCursor(Database& db, const std::string& root);
void SaveMqttCursor(Database& db, const std::string& root, std::int64_t lastEvent);

}  // namespace velkor::gateway
