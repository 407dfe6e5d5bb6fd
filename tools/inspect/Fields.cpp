#include "Fields.h"

#include <algorithm>
#include <string>

#include "Hex.h"

namespace velkor::inspect {
namespace {

// A NUL-terminated text in a fixed field, never read past the field.
Json FieldText(const char* field, std::size_t size) {
  return Json(std::string(field, std::find(field, field + size, '\0')));
}

}  // namespace

Json HexBytes(const std::uint8_t* bytes, std::size_t count) {
  return Json(FormatHex(bytes, count));
}

// Multi-byte fields of the packed records are copied out before they become JSON values, which
// take their argument by reference.
Json CardFields(const CardRecord& card) {
  Json j = Json::object();
  j["cardNumber"] = Json(std::int64_t{card.cardNumber});
  j["password"] = FieldText(card.password, sizeof card.password);
  j["year"] = Json(std::int64_t{card.year});
  j["month"] = Json(card.month);
  j["day"] = Json(card.day);
  j["hour"] = Json(card.hour);
  j["param"] = Json(card.param);
  j["flag0"] = Json(card.flag0 != 0);
  j["flag1"] = Json(card.flag1 != 0);
  j["flag2"] = Json(card.flag2 != 0);
  j["flag3"] = Json(card.flag3 != 0);
  j["flag4"] = Json(card.flag4 != 0);
  j["flag7"] = Json(card.flag7 != 0);
  j["flag6"] = Json(card.flag6 != 0);
  return j;
}

Json GroupFields(const MultiCardGroup& group) {
  Json j = Json::object();
  j["groupNumber"] = Json(group.groupNumber);
  j["param1"] = Json(group.param1);
  Json cards = Json::array();
  // Indexed, not by reference: the packed record leaves the numbers unaligned.
  for (std::size_t i = 0; i < 5; ++i) {
    cards.push_back(Json(std::int64_t{group.cardNumbers[i]}));
  }
  j["cardNumbers"] = std::move(cards);
  j["param2"] = Json(group.param2);
  j["enabled"] = Json(group.enabled != 0);
  j["flag0"] = Json(group.flag0 != 0);
  j["flag1"] = Json(group.flag1 != 0);
  j["flag2"] = Json(group.flag2 != 0);
  j["flag3"] = Json(group.flag3 != 0);
  j["flag4"] = Json(group.flag4 != 0);
  return j;
}

Json ScheduleFields(const WorkTimeSchedule& schedule) {
  Json j = Json::object();
  j["param0"] = Json(schedule.param0);
  j["param1"] = Json(schedule.param1);
  Json periods = Json::array();
  for (const WorkTimePeriod& p : schedule.periods) {
    Json period = Json::array();
    period.push_back(Json(p.startHour));
    period.push_back(Json(p.startMinute));
    period.push_back(Json(p.endHour));
    period.push_back(Json(p.endMinute));
    periods.push_back(std::move(period));
  }
  j["periods"] = std::move(periods);
  return j;
}

Json ModeFields(const ModeBlock& block) {
  Json settings = Json::array();
  for (std::uint8_t b : block.settings) {
    settings.push_back(Json(b));
  }
  return settings;
}

Json EventFields(const EventRecord& event) {
  Json j = Json::object();
  j["kind"] = Json(event.kind);
  if (event.kind == 0 || event.kind == 3 || event.kind == 4) {
    j["number"] = Json(static_cast<std::int64_t>(event.number));
  }
  if (event.kind == 0 || event.kind == 1 || event.kind == 3) {
    j["code"] = Json(event.code);
  }
  Json values = Json::array();
  for (std::int16_t v : {event.value1, event.value2, event.value3, event.value4, event.value5,
                         event.value6, event.value7, event.value8}) {
    values.push_back(Json(v));
  }
  j["values"] = std::move(values);
  j["cardNumber"] = Json(std::int64_t{event.cardNumber});
  j["digits"] = FieldText(event.digits, sizeof event.digits);
  return j;
}

Json ConfigFields(const std::uint8_t* record, bool with_captured_flag) {
  Json j = Json::object();
  if (with_captured_flag) {
    j["captured"] = Json(record[39] == 0);
  }
  j["lead"] = Json(record[0]);
  j["field4"] = HexBytes(record + 1, 4);
  j["word1"] = Json(record[5] | record[6] << 8);
  j["word2"] = Json(record[7] | record[8] << 8);
  j["block30"] = HexBytes(record + 9, 30);
  j["block20"] = HexBytes(record + 40, 20);
  return j;
}

}  // namespace velkor::inspect
