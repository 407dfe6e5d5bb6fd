#include "Fields.h"

#include <algorithm>
#include <string>

#include "Hex.h"

namespace velkor::inspect {
namespace {

// A NUL-terminated text in a fixed field, never read past the field.
Json FieldText(const char* field, std::size_t size) {
  return Json::Text(std::string(field, std::find(field, field + size, '\0')));
}

}  // namespace

Json HexBytes(const std::uint8_t* bytes, std::size_t count) {
  return Json::Text(FormatHex(bytes, count));
}

Json CardFields(const CardRecord& card) {
  Json j = Json::Object();
  j.Set("cardNumber", Json::Int(card.cardNumber));
  j.Set("password", FieldText(card.password, sizeof card.password));
  j.Set("year", Json::Int(card.year));
  j.Set("month", Json::Int(card.month));
  j.Set("day", Json::Int(card.day));
  j.Set("hour", Json::Int(card.hour));
  j.Set("param", Json::Hex8(card.param));
  j.Set("flag0", Json::Bool(card.flag0 != 0));
  j.Set("flag1", Json::Bool(card.flag1 != 0));
  j.Set("flag2", Json::Bool(card.flag2 != 0));
  j.Set("flag3", Json::Bool(card.flag3 != 0));
  j.Set("flag4", Json::Bool(card.flag4 != 0));
  j.Set("flag7", Json::Bool(card.flag7 != 0));
  j.Set("flag6", Json::Bool(card.flag6 != 0));
  return j;
}

Json GroupFields(const MultiCardGroup& group) {
  Json j = Json::Object();
  j.Set("groupNumber", Json::Int(group.groupNumber));
  j.Set("param1", Json::Hex8(group.param1));
  Json cards = Json::Array();
  // Indexed, not by reference: the packed record leaves the numbers unaligned.
  for (std::size_t i = 0; i < 5; ++i) {
    cards.Push(Json::Int(group.cardNumbers[i]));
  }
  j.Set("cardNumbers", std::move(cards));
  j.Set("param2", Json::Hex8(group.param2));
  j.Set("enabled", Json::Bool(group.enabled != 0));
  j.Set("flag0", Json::Bool(group.flag0 != 0));
  j.Set("flag1", Json::Bool(group.flag1 != 0));
  j.Set("flag2", Json::Bool(group.flag2 != 0));
  j.Set("flag3", Json::Bool(group.flag3 != 0));
  j.Set("flag4", Json::Bool(group.flag4 != 0));
  return j;
}

Json ScheduleFields(const WorkTimeSchedule& schedule) {
  Json j = Json::Object();
  j.Set("param0", Json::Hex8(schedule.param0));
  j.Set("param1", Json::Hex8(schedule.param1));
  Json periods = Json::Array();
  for (const WorkTimePeriod& p : schedule.periods) {
    Json period = Json::Array();
    period.Push(Json::Int(p.startHour));
    period.Push(Json::Int(p.startMinute));
    period.Push(Json::Int(p.endHour));
    period.Push(Json::Int(p.endMinute));
    periods.Push(std::move(period));
  }
  j.Set("periods", std::move(periods));
  return j;
}

Json ModeFields(const ModeBlock& block) {
  Json settings = Json::Array();
  for (std::uint8_t b : block.settings) {
    settings.Push(Json::Hex8(b));
  }
  return settings;
}

Json EventFields(const EventRecord& event) {
  Json j = Json::Object();
  j.Set("kind", Json::Int(event.kind));
  if (event.kind == 0 || event.kind == 3 || event.kind == 4) {
    j.Set("number", Json::Int(static_cast<std::int64_t>(event.number)));
  }
  if (event.kind == 0 || event.kind == 1 || event.kind == 3) {
    j.Set("code", Json::Hex8(event.code));
  }
  Json values = Json::Array();
  for (std::int16_t v : {event.value1, event.value2, event.value3, event.value4, event.value5,
                         event.value6, event.value7, event.value8}) {
    values.Push(Json::Int(v));
  }
  j.Set("values", std::move(values));
  j.Set("cardNumber", Json::Int(event.cardNumber));
  j.Set("digits", FieldText(event.digits, sizeof event.digits));
  return j;
}

Json ConfigFields(const std::uint8_t* record, bool with_captured_flag) {
  Json j = Json::Object();
  if (with_captured_flag) {
    j.Set("captured", Json::Bool(record[39] == 0));
  }
  j.Set("lead", Json::Hex8(record[0]));
  j.Set("field4", HexBytes(record + 1, 4));
  j.Set("word1", Json::Int(record[5] | record[6] << 8));
  j.Set("word2", Json::Int(record[7] | record[8] << 8));
  j.Set("block30", HexBytes(record + 9, 30));
  j.Set("block20", HexBytes(record + 40, 20));
  return j;
}

}  // namespace velkor::inspect
