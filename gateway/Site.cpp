#include "Site.h"

#include <algorithm>

namespace velkor::gateway {
namespace {

bool IsSerialText(const std::string& text) {
  return text.size() == 14 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

// A text member of `body`, at most `max` characters; absent gives `fallback` (nullopt: required).
std::optional<std::string> TextField(const Json& body, const char* name, std::size_t max,
                                     std::optional<std::string> fallback, FieldError& error) {
  const auto found = body.find(name);
  if (found == body.end()) {
    if (!fallback) {
      error = {name, "is required"};
    }
    return fallback;
  }
  if (!found->is_string()) {
    error = {name, "must be a string"};
    return std::nullopt;
  }
  std::string text = found->get<std::string>();
  if (Utf8Length(text) > max) {
    error = {name, "must be at most " + std::to_string(max) + " characters"};
    return std::nullopt;
  }
  return text;
}

// An array of texts, at most `max` of them, each checked by `valid` (whose problem names it).
template <typename Valid>
std::optional<std::vector<std::string>> TextList(const Json& body, const char* name,
                                                 std::size_t max, FieldError& error, Valid valid) {
  const auto found = body.find(name);
  if (found == body.end()) {
    return std::vector<std::string>();
  }
  if (!found->is_array()) {
    error = {name, "must be an array of strings"};
    return std::nullopt;
  }
  if (found->size() > max) {
    error = {name, "at most " + std::to_string(max) + " entries"};
    return std::nullopt;
  }
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < found->size(); ++i) {
    const Json& item = (*found)[i];
    const std::string field = std::string(name) + "[" + std::to_string(i) + "]";
    if (!item.is_string() || !valid(item.get<std::string>())) {
      error = {field, valid.problem};
      return std::nullopt;
    }
    if (std::find(texts.begin(), texts.end(), item.get<std::string>()) != texts.end()) {
      error = {field, "is given twice"};
      return std::nullopt;
    }
    texts.push_back(item.get<std::string>());
  }
  return texts;
}

struct TagCheck {
  const char* problem =
      "must be 1 to 32 lower-case letters, digits and '-', and not 14 hex digits (a serial)";
  bool operator()(const std::string& tag) const { return ValidTag(tag); }
};
struct TargetCheck {
  const char* problem = "must be \"*\", a serial (14 hex digits) or a tag";
  bool operator()(const std::string& target) const {
    return target == "*" || IsSerialText(target) || ValidTag(target);
  }
};

// A holder's own fields beside its card's; the id and the times are the store's, taken and
// ignored so that what GET gives can be PUT back.
const char* const kHolderFields[] = {"id", "name", "note", "devices", "created_at", "updated_at"};

}  // namespace

bool ValidTag(const std::string& tag) {
  return !tag.empty() && tag.size() <= kMaxTagLength &&
         tag.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == std::string::npos &&
         !IsSerialText(tag);
}

std::size_t Utf8Length(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::optional<DeviceLabels> LabelsFromJson(const Json& body, FieldError& error) {
  if (!body.is_object()) {
    error = {"labels", "must be {\"name\": \"...\", \"tags\": [...]}"};
    return std::nullopt;
  }
  for (const auto& [key, _] : body.items()) {
    if (key != "name" && key != "tags") {
      error = {key, "is not a label (name, tags)"};
      return std::nullopt;
    }
  }
  auto name = TextField(body, "name", kMaxDeviceName, "", error);
  auto tags = name ? TextList(body, "tags", kMaxTags, error, TagCheck{}) : std::nullopt;
  if (!tags) {
    return std::nullopt;
  }
  return DeviceLabels{std::move(*name), std::move(*tags)};
}

std::optional<Holder> HolderFromJson(const Json& body, FieldError& error) {
  if (!body.is_object()) {
    error = {"holder", "must be an object"};
    return std::nullopt;
  }
  Holder holder;
  const auto name = TextField(body, "name", kMaxHolderName, std::nullopt, error);
  if (!name) {
    return std::nullopt;
  }
  if (name->empty()) {
    error = {"name", "must not be empty"};
    return std::nullopt;
  }
  const auto note = TextField(body, "note", kMaxHolderNote, "", error);
  auto devices =
      note ? TextList(body, "devices", kMaxHolderTargets, error, TargetCheck{}) : std::nullopt;
  if (!devices) {
    return std::nullopt;
  }
  if (!body.contains("cardNumber")) {
    error = {"cardNumber", "is required"};
    return std::nullopt;
  }
  // The rest is the card record, checked as a card list's record is; a field not given is as
  // in a zeroed record.
  const CardRecord zeroed{};
  Json card = CardsToJson(&zeroed, 1)[0];
  for (const auto& [key, value] : body.items()) {
    if (card.contains(key)) {
      card[key] = value;
    } else if (std::find(std::begin(kHolderFields), std::end(kHolderFields), key) ==
               std::end(kHolderFields)) {
      error = {key, "is not a field of a holder"};
      return std::nullopt;
    }
  }
  FieldError cardError;
  const auto cards = CardsFromJson(Json::array({card}), cardError);
  if (!cards) {
    // "cards[0].password" names the holder's own field.
    const std::string prefix = "cards[0].";
    error = {cardError.field.rfind(prefix, 0) == 0 ? cardError.field.substr(prefix.size())
                                                   : cardError.field,
             cardError.problem};
    return std::nullopt;
  }
  holder.name = *name;
  holder.note = *note;
  holder.devices = std::move(*devices);
  holder.card = CardsToJson(cards->data(), 1)[0];
  holder.cardNumber = holder.card["cardNumber"].get<std::int64_t>();
  return holder;
}

Json HolderJson(const Holder& holder) {
  Json j = {{"id", holder.id}, {"name", holder.name}, {"note", holder.note}};
  for (const auto& [key, value] : holder.card.items()) {
    j[key] = value;
  }
  j["devices"] = holder.devices;
  j["created_at"] = holder.createdAt;
  j["updated_at"] = holder.updatedAt;
  return j;
}

namespace {

// The cards of `holders`, by card number.
Json CardsOf(std::vector<const Holder*> holders) {
  std::sort(holders.begin(), holders.end(),
            [](const Holder* a, const Holder* b) { return a->cardNumber < b->cardNumber; });
  holders.erase(std::unique(holders.begin(), holders.end()), holders.end());
  Json cards = Json::array();
  for (const Holder* holder : holders) {
    cards.push_back(holder->card);
  }
  return cards;
}

Json TagList(const Site& site, ListKind kind, const std::vector<std::string>& tags) {
  for (const std::string& tag : tags) {
    const auto found = site.tagLists.find(tag);
    if (found != site.tagLists.end()) {
      if (const auto& list = found->second[static_cast<std::size_t>(kind)]) {
        return *list;
      }
    }
  }
  return Json::array();
}

// The holders by what they name, so that a fleet's plan looks at the holders that reach each
// device rather than at every holder for every device.
struct Reach {
  explicit Reach(const Site& site) {
    for (const Holder& holder : site.holders) {
      for (const std::string& target : holder.devices) {
        if (target == "*") {
          everywhere.push_back(&holder);
        } else if (const auto serial = IsSerialText(target) ? ParseSerial(target) : std::nullopt) {
          bySerial[*serial].push_back(&holder);
        } else {
          byTag[target].push_back(&holder);
        }
      }
    }
  }

  Json Cards(std::uint64_t serial, const std::vector<std::string>& tags) const {
    std::vector<const Holder*> reaching = everywhere;
    const auto add = [&](const auto& index, const auto& key) {
      if (const auto found = index.find(key); found != index.end()) {
        reaching.insert(reaching.end(), found->second.begin(), found->second.end());
      }
    };
    add(bySerial, serial);
    for (const std::string& tag : tags) {
      add(byTag, tag);
    }
    return CardsOf(std::move(reaching));
  }

  std::vector<const Holder*> everywhere;
  std::map<std::uint64_t, std::vector<const Holder*>> bySerial;
  std::map<std::string, std::vector<const Holder*>> byTag;
};

}  // namespace

ListPlan PlanLists(const Site& site, const std::vector<DeviceView>& devices) {
  const Reach reach(site);
  ListPlan plan;
  for (const DeviceView& device : devices) {
    for (ListKind kind : {ListKind::kCards, ListKind::kGroups, ListKind::kSchedules}) {
      const auto index = static_cast<std::size_t>(kind);
      if (device.manual[index]) {
        continue;
      }
      Json records = kind == ListKind::kCards ? reach.Cards(device.serial, device.tags)
                                              : TagList(site, kind, device.tags);
      if (kind == ListKind::kCards && records.size() > kMaxCards) {
        plan.overfull.push_back({device.serial, records.size()});
        continue;
      }
      if (device.force[index] || records != device.current[index].value_or(Json::array())) {
        plan.changes.push_back({device.serial, kind, std::move(records)});
      }
    }
  }
  return plan;
}

std::string OverfullMessage(const std::vector<Overfull>& overfull) {
  std::string message = "a device holds at most " + std::to_string(kMaxCards) + " cards: ";
  for (std::size_t i = 0; i < overfull.size(); ++i) {
    message += (i == 0 ? "" : ", ") + SerialText(overfull[i].serial) + " would hold " +
               std::to_string(overfull[i].cards);
  }
  return message;
}

}  // namespace velkor::gateway
