// The site in the store: holders, devices' labels and lists by tag, and the site's version,
// which every change of the site takes a step further. Each function runs on the connection it
// is given; the API groups them with the lists they change into one transaction.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Database.h"
#include "Site.h"

namespace velkor::gateway {

// Steps the site's version on, inside the caller's transaction, and returns it. Taken first by
// every change of the site: on PostgreSQL the row's lock puts the changes of gateways sharing
// the store one after another, so each plans its lists from the site as the last one left it.
std::int64_t StepSiteVersion(Database& db);
std::int64_t SiteVersion(Database& db);

Site LoadSite(Database& db);  // holders by card number, and the lists by tag
std::optional<Holder> LoadHolder(Database& db, std::int64_t id);
// The id of the holder whose card has `cardNumber`, if one has.
std::optional<std::int64_t> HolderOfCard(Database& db, std::int64_t cardNumber);
std::int64_t CountHolders(Database& db);
std::unordered_map<std::int64_t, std::string> HolderNames(Database& db);  // by card number

// The devices' lists and tags as the store has them, for a change to plan from: this gateway's
// memory may not have heard yet of what another sharing the store has just written. Each list's
// version and mode, without its records, and each labelled device's tags.
struct StoredList {
  std::int64_t version = 0;
  bool derived = false;
};
struct StoredDevices {
  std::map<std::pair<std::uint64_t, ListKind>, StoredList> lists;
  std::unordered_map<std::uint64_t, std::vector<std::string>> tags;
};
StoredDevices LoadStoredDevices(Database& db);
Json LoadListRecords(Database& db, std::uint64_t serial, ListKind kind);  // [] for no list

std::int64_t InsertHolder(Database& db, const Holder& holder);  // its new id
bool UpdateHolder(Database& db, const Holder& holder);          // false: no holder of its id
bool DeleteHolder(Database& db, std::int64_t id);
// Moves the holder's card number out of the way (to minus its id), so that holders can trade
// card numbers inside one transaction without meeting the store's uniqueness.
void ParkHolderCard(Database& db, std::int64_t id);

void SaveLabels(Database& db, std::uint64_t serial, const DeviceLabels& labels,
                const std::string& at);
// The groups or schedules a tag gives its devices; nullopt takes them away.
void SaveTagList(Database& db, const std::string& tag, ListKind kind,
                 const std::optional<Json>& records, const std::string& at);

}  // namespace velkor::gateway
