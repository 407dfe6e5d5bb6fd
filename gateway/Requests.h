// What the REST API and MQTT requests share: a device and a list's state as JSON, and queueing
// a command for a device.
#pragma once

#include <cstdint>

#include "Database.h"
#include "State.h"

namespace velkor::gateway {

Json ListStatus(const WantedList& list);
Json DeviceJson(const Device& device);

// Checks a command body and queues it for the device: 202 {"id", "state": "queued"}, or 404 /
// 400 {"error"} with nothing changed. Takes the hub's lock; the caller owns `db`.
struct Queued {
  int status;
  Json body;
};
Queued QueueCommand(Hub& hub, Database& db, std::uint64_t serial, const Json& body);

}  // namespace velkor::gateway
