#include "EventNames.h"

#include <mutex>

#include "SiteStore.h"

namespace velkor::gateway {

void EventNames::Name(Database& db, Hub& hub, Json& events) {
  if (events.empty()) {
    return;
  }
  if (const std::int64_t version = SiteVersion(db); version != version_) {
    holders_ = HolderNames(db);
    version_ = version;
  }
  if (!holders_.empty()) {
    for (Json& event : events) {
      const auto card = event.find("cardNumber");
      if (card != event.end() && card->is_number_integer()) {
        if (const auto holder = holders_.find(card->get<std::int64_t>());
            holder != holders_.end()) {
          event["holder"] = holder->second;
        }
      }
    }
  }
  std::lock_guard lock(hub.mutex);
  for (Json& event : events) {
    const auto serial = ParseSerial(event.value("device", std::string()));
    if (const Device* device = serial ? hub.Find(*serial) : nullptr;
        device != nullptr && !device->labels.name.empty()) {
      event["device_name"] = device->labels.name;
    }
  }
}

}  // namespace velkor::gateway
