// Names where people look: an event whose card is a holder's carries "holder", and an event of
// a named device "device_name". They are looked up as the event is served (REST, the event
// stream, MQTT); the stored event stays as it was received.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "Database.h"
#include "Records.h"
#include "State.h"

namespace velkor::gateway {

class EventNames {
 public:
  // Names the events of `events` (an array as ListEvents gives it). The holders' names are read
  // on `db` (the caller's connection, its lock held) again whenever the site's version has moved
  // on; the devices' names come from the hub, under its lock.
  void Name(Database& db, Hub& hub, Json& events);

 private:
  std::int64_t version_ = -1;
  std::unordered_map<std::int64_t, std::string> holders_;  // by card number
};

}  // namespace velkor::gateway
