#include "Report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace velkor::sim {
namespace {

using Json = nlohmann::ordered_json;

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

bool Bit(std::uint8_t flags, unsigned bit) {
  return ((flags >> bit) & 1) != 0;
}

// Field names as the library's records have them.
Json CardJson(const Card& card) {
  return {{"cardNumber", card.number},
          {"password", card.password},
          {"year", card.year},
          {"month", card.month},
          {"day", card.day},
          {"hour", card.hour},
          {"param", card.param},
          {"flag0", Bit(card.flags, 0)},
          {"flag1", Bit(card.flags, 1)},
          {"flag2", Bit(card.flags, 2)},
          {"flag3", Bit(card.flags, 3)},
          {"flag4", Bit(card.flags, 4)},
          {"flag7", Bit(card.flags, 7)},
          {"flag6", Bit(card.flags, 6)}};
}

Json GroupJson(const Group& group) {
  Json cards = Json::array();
  for (std::size_t slot = 0; slot < 5; ++slot) {
    cards.push_back(slot < group.cards.size() ? static_cast<std::int64_t>(group.cards[slot]) : -1);
  }
  return {{"groupNumber", group.number},  {"param1", group.param1},
          {"cardNumbers", cards},         {"param2", group.param2},
          {"enabled", group.enabled},     {"flag0", Bit(group.flags, 0)},
          {"flag1", Bit(group.flags, 1)}, {"flag2", Bit(group.flags, 2)},
          {"flag3", Bit(group.flags, 3)}, {"flag4", Bit(group.flags, 4)}};
}

Json ScheduleJson(const Schedule& schedule) {
  Json periods = Json::array();
  for (const auto& period : schedule.periods) {
    periods.push_back(
        period ? Json{period->startHour, period->startMinute, period->endHour, period->endMinute}
               : Json{255, 255, 255, 255});
  }
  return {{"param0", schedule.param0}, {"param1", schedule.param1}, {"periods", periods}};
}

Json StateJson(const DeviceState& d) {
  Json state;
  Json& cards = state["cards"] = Json::array();
  for (const Card& card : d.cards) {
    cards.push_back(CardJson(card));
  }
  Json& groups = state["groups"] = Json::array();
  for (const Group& group : d.groups) {
    groups.push_back(GroupJson(group));
  }
  Json& schedules = state["schedules"] = Json::array();
  for (const Schedule& schedule : d.schedules) {
    schedules.push_back(ScheduleJson(schedule));
  }
  state["passwords"] = d.passwords;
  state["fingerPasswords"] = d.fingerPasswords;
  state["readerMode"] = d.readerMode;
  state["fingerMode"] = d.fingerMode;
  state["clock"] = nullptr;
  if (d.clock) {
    state["clock"] = {{"year", d.clock->year},      {"month", d.clock->month},
                      {"day", d.clock->day},        {"hour", d.clock->hour},
                      {"minute", d.clock->minute},  {"second", d.clock->second},
                      {"weekday", d.clock->weekday}};
  }
  state["control"] = nullptr;
  if (d.lastControl) {
    state["control"] = {{"command", d.lastControl->command},
                        {"arguments", d.lastControl->arguments}};
  }
  state["extraOutput"] = nullptr;
  if (d.extraOutput >= 0) {
    state["extraOutput"] = d.extraOutput;
  }
  state["fingerControl"] = nullptr;
  if (d.lastFingerControl) {
    state["fingerControl"] = {{"selector", d.lastFingerControl->selector},
                              {"command", d.lastFingerControl->command},
                              {"number", d.lastFingerControl->number}};
  }
  Json& templates = state["templates"] = Json::object();
  for (const auto& [slot, data] : d.templates) {
    templates[std::to_string(slot)] = Hex(data.data(), data.size());
  }
  Json& clips = state["voiceClips"] = Json::object();
  for (const auto& [word, data] : d.voiceClips) {
    clips[std::to_string(word)] = Hex(data.data(), data.size());
  }
  return state;
}

}  // namespace

Json MakeReport(const Simulator& simulator, const Stats& stats) {
  Json report;
  report["format"] = kReportFormat;
  report["seed"] = simulator.Settings().seed;
  report["complete"] = stats.Complete();
  report["ended"] = EndingName(stats.ending);
  report["summary"] = {{"sent", stats.Sent()},           {"verified", stats.verified},
                       {"failed", stats.failed},         {"missing", stats.missing},
                       {"unexpected", stats.unexpected}, {"eventsReported", stats.eventsReported},
                       {"retries", stats.retries}};
  Json& devices = report["devices"] = Json::array();
  for (const DeviceState& d : simulator.Devices()) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "%014llX", static_cast<unsigned long long>(d.serial));
    Json device;
    device["serial"] = serial;
    device["type"] = d.type;
    device["generation"] = d.IsLegacy() ? "legacy" : "current";
    device["state"] = StateJson(d);
    Json& events = device["events"] = Json::array();
    for (const LoggedEvent& event : d.eventLog) {
      events.push_back(
          {{"raw", Hex(event.raw.data(), event.raw.size())}, {"verified", event.verified}});
    }
    devices.push_back(std::move(device));
  }
  return report;
}

bool WriteReport(const std::string& path, const Json& report, std::string& error) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    if (file) {
      file << report.dump(2) << '\n';
    }
    if (!file || !file.flush()) {
      error = "cannot write " + temporary;
      std::remove(temporary.c_str());
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace velkor::sim
