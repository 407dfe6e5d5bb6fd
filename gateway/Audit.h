// The audit trail: one entry for every change the API or MQTT accepted, written in the change's
// own transaction, so that the store holds both or neither. Refused requests are not changes:
// they are counted per client address instead (Refusals.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Database.h"
#include "Records.h"

namespace velkor::gateway {

struct AuditEntry {
  std::string actor;    // the key's name, "mqtt", or "cli:USER"
  std::string address;  // the client's address
  std::string method;   // PUT, POST, DELETE; MQTT for a broker's request; the CLI's command
  std::string route;    // as documented, "/api/v1/devices/{serial}/cards" say
  std::optional<std::uint64_t> device;
  Json detail = Json::object();  // what changed: a list's version, a command's id and body...
  int status = 200;              // what the client was answered
};

// Within the transaction of the change it records.
void InsertAudit(Database& db, const AuditEntry& entry);
// Entries with id above `after`, ascending, at most `limit`; only the device's when given.
Json ListAudit(Database& db, std::optional<std::uint64_t> device, std::int64_t after,
               std::size_t limit);

}  // namespace velkor::gateway
