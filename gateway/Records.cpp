#include "Records.h"

#include <cstring>

namespace velkor::gateway {
namespace {

constexpr std::int64_t kCardNumberLimit = std::int64_t{1} << 40;  // 5 bytes travel
constexpr std::size_t kPasswordDigits = 8;
constexpr std::size_t kGroupSlots = 5;
constexpr std::size_t kPeriods = 6;
constexpr std::uint8_t kNoPeriod = 255;
constexpr int kGroupNumbers = 32;
constexpr int kMinutesPerDay = 24 * 60;

// Reads the members of one JSON object, each checked; the first problem found is kept.
class Fields {
 public:
  Fields(const Json& object, std::string path, FieldError& error)
      : object_(object), path_(std::move(path)), error_(error) {
    if (!object_.is_object()) {
      Fail(path_, "must be an object");
    }
  }

  bool ok() const { return ok_; }

  std::int64_t Integer(const char* name, std::int64_t min, std::int64_t max) {
    const Json* value = Member(name);
    if (value == nullptr) {
      return 0;
    }
    if (!value->is_number_integer()) {
      Fail(Path(name), "must be an integer");
      return 0;
    }
    const std::int64_t n = value->is_number_unsigned() && value->get<std::uint64_t>() > INT64_MAX
                               ? INT64_MAX
                               : value->get<std::int64_t>();
    if (n < min || n > max) {
      Fail(Path(name), "must be from " + std::to_string(min) + " to " + std::to_string(max));
      return 0;
    }
    return n;
  }

  std::uint8_t Byte(const char* name) { return static_cast<std::uint8_t>(Integer(name, 0, 255)); }

  std::uint8_t Flag(const char* name) {
    const Json* value = Member(name);
    if (value == nullptr) {
      return 0;
    }
    if (!value->is_boolean()) {
      Fail(Path(name), "must be true or false");
      return 0;
    }
    return value->get<bool>() ? 1 : 0;
  }

  // A digit text of at most eight digits; "" is no password.
  void Digits(const char* name, char (&out)[9]) {
    std::memset(out, 0, sizeof out);
    const Json* value = Member(name);
    if (value == nullptr) {
      return;
    }
    if (!value->is_string()) {
      Fail(Path(name), "must be a string of digits");
      return;
    }
    const std::string text = value->get<std::string>();
    if (text.size() > kPasswordDigits ||
        text.find_first_not_of("0123456789") != std::string::npos) {
      Fail(Path(name), "must be at most 8 digits");
      return;
    }
    std::memcpy(out, text.data(), text.size());
  }

  const Json* Array(const char* name, std::size_t max) {
    const Json* value = Member(name);
    if (value != nullptr && (!value->is_array() || value->size() > max)) {
      Fail(Path(name), "must be an array of at most " + std::to_string(max) + " entries");
      return nullptr;
    }
    return value;
  }

  std::string Path(const std::string& name) const { return path_ + "." + name; }

  void Fail(const std::string& field, const std::string& problem) {
    if (ok_) {
      error_ = {field, problem};
      ok_ = false;
    }
  }

 private:
  const Json* Member(const char* name) {
    if (!ok_) {
      return nullptr;
    }
    const auto found = object_.find(name);
    if (found == object_.end()) {
      Fail(Path(name), "is missing");
      return nullptr;
    }
    return &*found;
  }

  const Json& object_;
  std::string path_;
  FieldError& error_;
  bool ok_ = true;
};

std::string Item(const char* list, std::size_t index) {
  return std::string(list) + "[" + std::to_string(index) + "]";
}

template <typename Record, typename Parse>
std::optional<std::vector<Record>> ListFromJson(const Json& array, const char* name,
                                                std::size_t limit, FieldError& error, Parse parse) {
  if (!array.is_array()) {
    error = {name, "must be an array"};
    return std::nullopt;
  }
  if (array.size() > limit) {
    error = {name, "holds " + std::to_string(array.size()) + " records, at most " +
                       std::to_string(limit) + " travel"};
    return std::nullopt;
  }
  std::vector<Record> records(array.size());
  for (std::size_t i = 0; i < array.size(); ++i) {
    std::memset(&records[i], 0, sizeof(Record));
    if (!parse(array[i], Item(name, i), records[i], error)) {
      return std::nullopt;
    }
  }
  return records;
}

std::string Text(const char* field, std::size_t size) {
  return std::string(field, strnlen(field, size));
}

}  // namespace

std::string JsonText(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

const char* ListName(ListKind kind) {
  switch (kind) {
    case ListKind::kCards:
      return "cards";
    case ListKind::kGroups:
      return "groups";
    case ListKind::kSchedules:
      return "schedules";
  }
  return "cards";
}

std::optional<ListKind> ParseListName(const std::string& name) {
  for (ListKind kind : {ListKind::kCards, ListKind::kGroups, ListKind::kSchedules}) {
    if (name == ListName(kind)) {
      return kind;
    }
  }
  return std::nullopt;
}

std::size_t ListLimit(ListKind kind) {
  switch (kind) {
    case ListKind::kCards:
      return kMaxCards;
    case ListKind::kGroups:
      return kMaxGroups;
    case ListKind::kSchedules:
      return kMaxSchedules;
  }
  return 0;
}

std::optional<std::vector<CardRecord>> CardsFromJson(const Json& array, FieldError& error) {
  return ListFromJson<CardRecord>(
      array, "cards", kMaxCards, error,
      [](const Json& item, const std::string& path, CardRecord& card, FieldError& e) {
        Fields f(item, path, e);
        card.cardNumber = f.Integer("cardNumber", 0, kCardNumberLimit - 1);
        f.Digits("password", card.password);
        card.year = static_cast<std::int16_t>(f.Integer("year", 0, 99));
        card.month = static_cast<std::uint8_t>(f.Integer("month", 0, 99));
        card.day = static_cast<std::uint8_t>(f.Integer("day", 0, 99));
        card.hour = static_cast<std::uint8_t>(f.Integer("hour", 0, 99));
        card.param = f.Byte("param");
        card.flag0 = f.Flag("flag0");
        card.flag1 = f.Flag("flag1");
        card.flag2 = f.Flag("flag2");
        card.flag3 = f.Flag("flag3");
        card.flag4 = f.Flag("flag4");
        card.flag7 = f.Flag("flag7");
        card.flag6 = f.Flag("flag6");
        return f.ok();
      });
}

std::optional<std::vector<MultiCardGroup>> GroupsFromJson(const Json& array, FieldError& error) {
  return ListFromJson<MultiCardGroup>(
      array, "groups", kMaxGroups, error,
      [](const Json& item, const std::string& path, MultiCardGroup& group, FieldError& e) {
        Fields f(item, path, e);
        group.groupNumber =
            static_cast<std::uint8_t>(f.Integer("groupNumber", 0, kGroupNumbers - 1));
        group.param1 = f.Byte("param1");
        for (std::size_t i = 0; i < kGroupSlots; ++i) {
          group.cardNumbers[i] = -1;  // packed: by index, never through a reference
        }
        if (const Json* cards = f.Array("cardNumbers", kGroupSlots); cards != nullptr) {
          for (std::size_t i = 0; i < cards->size(); ++i) {
            const Json& n = (*cards)[i];
            const std::string field = f.Path("cardNumbers[" + std::to_string(i) + "]");
            if (!n.is_number_integer()) {
              f.Fail(field, "must be an integer");
            } else if (n.get<std::int64_t>() < -1 || n.get<std::int64_t>() >= kCardNumberLimit ||
                       (n.is_number_unsigned() && n.get<std::uint64_t>() > INT64_MAX)) {
              f.Fail(field, "must be -1 (empty) or a card number below 2^40");
            } else {
              group.cardNumbers[i] = n.get<std::int64_t>();
            }
          }
        }
        group.param2 = f.Byte("param2");
        group.enabled = f.Flag("enabled");
        group.flag0 = f.Flag("flag0");
        group.flag1 = f.Flag("flag1");
        group.flag2 = f.Flag("flag2");
        group.flag3 = f.Flag("flag3");
        group.flag4 = f.Flag("flag4");
        return f.ok();
      });
}

std::optional<std::vector<WorkTimeSchedule>> SchedulesFromJson(const Json& array,
                                                               FieldError& error) {
  return ListFromJson<WorkTimeSchedule>(
      array, "schedules", kMaxSchedules, error,
      [](const Json& item, const std::string& path, WorkTimeSchedule& schedule, FieldError& e) {
        Fields f(item, path, e);
        schedule.param0 = f.Byte("param0");
        schedule.param1 = f.Byte("param1");
        for (WorkTimePeriod& period : schedule.periods) {
          period = {kNoPeriod, kNoPeriod, kNoPeriod, kNoPeriod};
        }
        const Json* periods = f.Array("periods", kPeriods);
        for (std::size_t i = 0; periods != nullptr && i < periods->size() && f.ok(); ++i) {
          const Json& p = (*periods)[i];
          const std::string field = f.Path("periods[" + std::to_string(i) + "]");
          if (!p.is_array() || p.size() != 4 || !std::all_of(p.begin(), p.end(), [](const Json& v) {
                return v.is_number_integer() && v.get<std::int64_t>() >= 0 &&
                       v.get<std::int64_t>() <= 255;
              })) {
            f.Fail(field, "must be [startHour, startMinute, endHour, endMinute]");
            break;
          }
          const int v[4] = {p[0].get<int>(), p[1].get<int>(), p[2].get<int>(), p[3].get<int>()};
          const bool absent =
              v[0] == kNoPeriod && v[1] == kNoPeriod && v[2] == kNoPeriod && v[3] == kNoPeriod;
          const int start = v[0] * 60 + v[1];
          const int end = v[2] * 60 + v[3];
          if (!absent && (v[1] > 59 || v[3] > 59 || end > kMinutesPerDay || start >= end)) {
            f.Fail(field,
                   "must be a period of the day (start before end, up to 24:00) or "
                   "[255, 255, 255, 255] for none");
            break;
          }
          schedule.periods[i] = {static_cast<std::uint8_t>(v[0]), static_cast<std::uint8_t>(v[1]),
                                 static_cast<std::uint8_t>(v[2]), static_cast<std::uint8_t>(v[3])};
        }
        return f.ok();
      });
}

Json ListRecords(ListKind kind, const Json& array, FieldError& error) {
  if (kind == ListKind::kCards) {
    const auto cards = CardsFromJson(array, error);
    return cards ? CardsToJson(cards->data(), cards->size()) : Json();
  }
  if (kind == ListKind::kGroups) {
    const auto groups = GroupsFromJson(array, error);
    return groups ? GroupsToJson(groups->data(), groups->size()) : Json();
  }
  const auto schedules = SchedulesFromJson(array, error);
  return schedules ? SchedulesToJson(schedules->data(), schedules->size()) : Json();
}

Json CardsToJson(const CardRecord* cards, std::size_t count) {
  Json list = Json::array();
  for (std::size_t i = 0; i < count; ++i) {
    const CardRecord c = cards[i];
    // Multi-byte fields of the packed records are copied out: JSON takes its values by
    // reference, and a reference to a packed field may be misaligned.
    list.push_back({{"cardNumber", static_cast<std::int64_t>(c.cardNumber)},
                    {"password", Text(c.password, sizeof c.password)},
                    {"year", static_cast<int>(c.year)},
                    {"month", c.month},
                    {"day", c.day},
                    {"hour", c.hour},
                    {"param", c.param},
                    {"flag0", c.flag0 != 0},
                    {"flag1", c.flag1 != 0},
                    {"flag2", c.flag2 != 0},
                    {"flag3", c.flag3 != 0},
                    {"flag4", c.flag4 != 0},
                    {"flag7", c.flag7 != 0},
                    {"flag6", c.flag6 != 0}});
  }
  return list;
}

Json GroupsToJson(const MultiCardGroup* groups, std::size_t count) {
  Json list = Json::array();
  for (std::size_t i = 0; i < count; ++i) {
    const MultiCardGroup g = groups[i];
    Json cards = Json::array();
    for (std::size_t slot = 0; slot < kGroupSlots; ++slot) {
      const std::int64_t n = g.cardNumbers[slot];
      cards.push_back(n < 0 ? -1 : n);
    }
    list.push_back({{"groupNumber", g.groupNumber},
                    {"param1", g.param1},
                    {"cardNumbers", cards},
                    {"param2", g.param2},
                    {"enabled", g.enabled != 0},
                    {"flag0", g.flag0 != 0},
                    {"flag1", g.flag1 != 0},
                    {"flag2", g.flag2 != 0},
                    {"flag3", g.flag3 != 0},
                    {"flag4", g.flag4 != 0}});
  }
  return list;
}

Json SchedulesToJson(const WorkTimeSchedule* schedules, std::size_t count) {
  Json list = Json::array();
  for (std::size_t i = 0; i < count; ++i) {
    const WorkTimeSchedule s = schedules[i];
    Json periods = Json::array();
    for (const WorkTimePeriod& p : s.periods) {
      periods.push_back({p.startHour, p.startMinute, p.endHour, p.endMinute});
    }
    list.push_back({{"param0", s.param0}, {"param1", s.param1}, {"periods", periods}});
  }
  return list;
}

Json EventToJson(const EventRecord& event) {
  const EventRecord e = event;
  Json j = {{"kind", e.kind}};
  if (e.kind == 0 || e.kind == 3 || e.kind == 4) {
    j["number"] = static_cast<std::uint64_t>(e.number);
  }
  if (e.kind == 0 || e.kind == 1 || e.kind == 3) {
    j["code"] = e.code;
  }
  j["values"] = {static_cast<int>(e.value1), static_cast<int>(e.value2), static_cast<int>(e.value3),
                 static_cast<int>(e.value4), static_cast<int>(e.value5), static_cast<int>(e.value6),
                 static_cast<int>(e.value7), static_cast<int>(e.value8)};
  j["cardNumber"] = static_cast<std::int64_t>(e.cardNumber);
  j["digits"] = Text(e.digits, sizeof e.digits);
  return j;
}

Json ConfigToJson(const std::uint8_t* record) {
  return {{"captured", record[39] == 0},         {"lead", record[0]},
          {"field4", Hex(record + 1, 4)},        {"word1", record[5] | record[6] << 8},
          {"word2", record[7] | record[8] << 8}, {"block30", Hex(record + 9, 30)},
          {"block20", Hex(record + 40, 20)}};
}

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text(count * 2, '0');
  for (std::size_t i = 0; i < count; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0xF];
  }
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

std::optional<std::vector<std::uint8_t>> FromHex(const std::string& text) {
  if (text.size() % 2 != 0) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes(text.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const int high = HexDigit(text[2 * i]);
    const int low = HexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return bytes;
}

std::string SerialText(std::uint64_t serial) {
  std::uint8_t bytes[7];
  for (int i = 0; i < 7; ++i) {
    bytes[i] = static_cast<std::uint8_t>(serial >> (8 * (6 - i)));
  }
  return Hex(bytes, sizeof bytes);
}

std::optional<std::uint64_t> ParseSerial(const std::string& text) {
  if (text.size() != 14) {
    return std::nullopt;
  }
  const auto bytes = FromHex(text);
  if (!bytes) {
    return std::nullopt;
  }
  std::uint64_t serial = 0;
  for (std::uint8_t b : *bytes) {
    serial = serial << 8 | b;
  }
  return serial;
}

}  // namespace velkor::gateway
