// What the REST API and MQTT requests share: a device and a list's state as JSON, and queueing
// a command for a device.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "Audit.h"
#include "Database.h"
#include "State.h"

namespace velkor::gateway {

inline constexpr std::size_t kMaxQueuedCommands = 256;  // per device; more get 429

// What the JSON of a list's state and of a device shows, copied under the hub's lock so that
// the JSON is built after it is released.
struct ListSummary {
  std::string state;
  std::size_t count = 0;
  std::string setAt, sentAt, confirmedAt;
  bool derived = false;
};
struct DeviceSummary {
  DeviceRow registry;  // nothing owed
  DeviceLabels labels;
  std::size_t queuedCommands = 0;
  std::array<std::optional<ListSummary>, 3> lists;
  std::vector<std::uint8_t> templates;
  std::vector<std::uint16_t> voice;
};
ListSummary Summarize(const WantedList& list);
DeviceSummary Summarize(const Device& device);

Json ListStatus(const ListSummary& list);
Json ListStatus(const WantedList& list);
Json DeviceJson(const DeviceSummary& device);
Json DeviceJson(const Device& device);

// Checks a command body and queues it for the device: 202 {"id", "state": "queued"}, or 404 /
// 400 / 429 {"error"} with nothing changed. A device memory does not hold is looked for in the
// store first (RecallDevice); 404 only when the store has none either. Takes the hub's lock;
// the caller owns `db`. The audit entry (who asked, from where) is written with the command,
// which it names.
struct Queued {
  int status;
  Json body;
};
Queued QueueCommand(Hub& hub, Database& db, std::uint64_t serial, const Json& body,
                    AuditEntry audit);

}  // namespace velkor::gateway
