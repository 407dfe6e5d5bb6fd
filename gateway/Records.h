// Host records and device packets as JSON: the names are those of tools/vectors/vectors.json
// (cardNumber, password, flag0, ...), so that what the API takes and gives reads the same as
// the test vectors and the simulator's report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "velkorlink.h"

namespace velkor::gateway {

using Json = nlohmann::ordered_json;

// Limits of one list on the wire: what SendCards, SendMultiCards and SendWorkTime send.
inline constexpr std::size_t kMaxCards = 88;
inline constexpr std::size_t kMaxGroups = 32;
inline constexpr std::size_t kMaxSchedules = 16;

// A request value that does not fit: `field` names it ("cards[2].password").
struct FieldError {
  std::string field;
  std::string problem;
  std::string Message() const { return field + ": " + problem; }
};

// The three lists the API can set on a device.
enum class ListKind { kCards, kGroups, kSchedules };
const char* ListName(ListKind kind);  // "cards", "groups", "schedules"
std::optional<ListKind> ParseListName(const std::string& name);
std::size_t ListLimit(ListKind kind);

// JSON array -> records, every field checked; nullopt with `error` set when a value is missing,
// of the wrong type or out of range.
std::optional<std::vector<CardRecord>> CardsFromJson(const Json& array, FieldError& error);
std::optional<std::vector<MultiCardGroup>> GroupsFromJson(const Json& array, FieldError& error);
std::optional<std::vector<WorkTimeSchedule>> SchedulesFromJson(const Json& array,
                                                               FieldError& error);

// The records of a list of `kind` as the JSON above gives them back, every field checked and
// each record written out whole; null with `error` set when a record does not fit.
Json ListRecords(ListKind kind, const Json& array, FieldError& error);

Json CardsToJson(const CardRecord* cards, std::size_t count);
Json GroupsToJson(const MultiCardGroup* groups, std::size_t count);
Json SchedulesToJson(const WorkTimeSchedule* schedules, std::size_t count);

// The decoded fields of one event record, as velkor-inspect --json names them.
Json EventToJson(const EventRecord& event);

// The 60-byte network configuration record (words low byte first, byte 39 the captured flag).
Json ConfigToJson(const std::uint8_t* record);

// JSON text in which bytes that are not UTF-8 are replaced (U+FFFD): what goes out to a client
// or a broker, since a plain dump() throws on them.
std::string JsonText(const Json& value);

// Hex text: upper-case, no separators.
std::string Hex(const std::uint8_t* bytes, std::size_t count);
std::optional<std::vector<std::uint8_t>> FromHex(const std::string& text);
int HexDigit(char c);  // 0..15, or -1 for a character that is no hex digit

// A device serial as 14 upper-case hex digits, and back (nullopt unless exactly 14 hex digits).
std::string SerialText(std::uint64_t serial);
std::optional<std::uint64_t> ParseSerial(const std::string& text);

}  // namespace velkor::gateway
