// The site's view of access: cardholders, each with a card and the devices it reaches (by tag,
// by serial, or every device), devices' names and tags, and groups and schedules given by tag.
// From these the gateway derives each device's lists, which it keeps in step through the lists
// it already sends (wanted, sent, confirmed). A device whose list was set directly keeps it
// (manual mode) until the API gives it back to the site (derived mode).
//
// Everything here is pure: the API reads the site from the store, plans the lists, and writes
// the plan in the same transaction.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Records.h"

namespace velkor::gateway {

inline constexpr std::size_t kMaxTags = 32;           // on one device
inline constexpr std::size_t kMaxTagLength = 32;      // characters
inline constexpr std::size_t kMaxDeviceName = 64;     // characters
inline constexpr std::size_t kMaxHolderName = 128;    // characters
inline constexpr std::size_t kMaxHolderNote = 1000;   // characters
inline constexpr std::size_t kMaxHolderTargets = 64;  // entries of a holder's "devices"
inline constexpr std::size_t kMaxHolders = 10000;

struct DeviceLabels {
  std::string name;
  std::vector<std::string> tags;  // in the order given: the first tag with a list gives it
};

struct Holder {
  std::int64_t id = 0;
  std::string name, note;
  Json card;  // one card record, as CardsToJson gives it
  std::int64_t cardNumber = 0;
  std::vector<std::string> devices;  // tags, serials (14 hex digits), or "*"
  std::string createdAt, updatedAt;
};

// What the store holds of the site: the holders by card number, and per tag the groups and
// schedules given to its devices (indexed by ListKind; never the cards).
struct Site {
  std::vector<Holder> holders;
  std::map<std::string, std::array<std::optional<Json>, 3>> tagLists;

  bool Empty() const { return holders.empty() && tagLists.empty(); }
};

// Lower-case letters, digits and '-', 1 to kMaxTagLength long, and not 14 hex digits (which a
// holder's "devices" reads as a serial).
bool ValidTag(const std::string& tag);
std::size_t Utf8Length(const std::string& text);  // characters of valid UTF-8 text

// {"name": "...", "tags": [...]}, each bound checked; nullopt with `error` naming the field.
std::optional<DeviceLabels> LabelsFromJson(const Json& body, FieldError& error);
// A holder as the API takes it: "name", optional "note", "devices", and the card record's
// fields (cardNumber required). Its id and times are the caller's.
std::optional<Holder> HolderFromJson(const Json& body, FieldError& error);
Json HolderJson(const Holder& holder);

// A device as the plan sees it: its tags, and per list kind its mode and current records.
struct DeviceView {
  std::uint64_t serial = 0;
  std::vector<std::string> tags;
  std::array<bool, 3> manual{};
  std::array<bool, 3> force{};  // written even when equal: a list given back to the site
  std::array<std::optional<Json>, 3> current;  // the list's records; nullopt: no list yet
};

struct ListChange {
  std::uint64_t serial = 0;
  ListKind kind = ListKind::kCards;
  Json records;
};
struct Overfull {
  std::uint64_t serial = 0;
  std::size_t cards = 0;
};
struct ListPlan {
  std::vector<ListChange> changes;
  std::vector<Overfull> overfull;  // devices the site would give more than kMaxCards cards
};
// The lists to write so that every device in derived mode holds what the site gives it (the
// cards of the holders that reach it, by card number; the groups and the schedules of the first
// of its tags that has them; else none): a
// change where that differs from its current list (no list counts as an empty one), or where
// `force` asks. Lists in manual mode are left alone.
ListPlan PlanLists(const Site& site, const std::vector<DeviceView>& devices);

// "00A1B2C3D4E5F6: 90 cards, 11F2...: 89 cards": the 422 of an overfull plan.
std::string OverfullMessage(const std::vector<Overfull>& overfull);

}  // namespace velkor::gateway
