// The gateway's pieces without a process: request bodies checked field by field, commands
// normalised, lists read back as a device reads them, the route table against the OpenAPI
// document, and the small parsers.
#include <gtest/gtest.h>

#include <set>

#include "Api.h"
#include "Commands.h"
#include "Gateway.h"
#include "Link.h"
#include "Records.h"
#include "Store.h"
#include "Sync.h"

namespace velkor::gateway {
namespace {

const Json kCard = Json::parse(R"({"cardNumber": 2882400001, "password": "1234", "year": 24,
  "month": 3, "day": 9, "hour": 23, "param": 90, "flag0": true, "flag1": false, "flag2": true,
  "flag3": false, "flag4": false, "flag7": true, "flag6": false})");
const Json kGroup = Json::parse(R"({"groupNumber": 5, "param1": 17, "cardNumbers": [-1, 7, -1, 9],
  "param2": 34, "enabled": true, "flag0": true, "flag1": false, "flag2": false, "flag3": false,
  "flag4": true})");
const Json kSchedule = Json::parse(R"({"param0": 1, "param1": 2,
  "periods": [[8, 0, 12, 0], [255, 255, 255, 255], [13, 30, 24, 0]]})");

Json With(Json record, const std::string& field, const Json& value) {
  if (value.is_null()) {
    record.erase(field);
  } else {
    record[field] = value;
  }
  return record;
}

struct BadRecord {
  const char* what;
  Json list;
  const char* field;  // the field the message must name
};

TEST(GatewayRecords, EveryBadFieldIsNamed) {
  const std::vector<BadRecord> cases = {
      {"not an array", Json::object(), "cards"},
      {"not an object", Json::array({1}), "cards[0]"},
      {"missing field", Json::array({With(kCard, "param", nullptr)}), "cards[0].param"},
      {"number as text", Json::array({With(kCard, "cardNumber", "12")}), "cards[0].cardNumber"},
      {"card number past 40 bits", Json::array({With(kCard, "cardNumber", 1LL << 40)}),
       "cards[0].cardNumber"},
      {"negative card number", Json::array({With(kCard, "cardNumber", -5)}), "cards[0].cardNumber"},
      {"password not digits", Json::array({kCard, With(kCard, "password", "12a4")}),
       "cards[1].password"},
      {"password of nine digits", Json::array({With(kCard, "password", "123456789")}),
       "cards[0].password"},
      {"year past 99", Json::array({With(kCard, "year", 100)}), "cards[0].year"},
      {"flag as number", Json::array({With(kCard, "flag6", 1)}), "cards[0].flag6"},
      {"param past a byte", Json::array({With(kCard, "param", 256)}), "cards[0].param"},
      {"huge unsigned", Json::array({With(kCard, "cardNumber", 18446744073709551615ULL)}),
       "cards[0].cardNumber"},
  };
  for (const BadRecord& c : cases) {
    FieldError error;
    EXPECT_FALSE(CardsFromJson(c.list, error)) << c.what;
    EXPECT_EQ(error.field, c.field) << c.what << ": " << error.Message();
  }

  const std::vector<BadRecord> groupCases = {
      {"group number 32", Json::array({With(kGroup, "groupNumber", 32)}), "groups[0].groupNumber"},
      {"six card slots", Json::array({With(kGroup, "cardNumbers", {1, 2, 3, 4, 5, 6})}),
       "groups[0].cardNumbers"},
      {"slot below -1", Json::array({With(kGroup, "cardNumbers", {-2})}),
       "groups[0].cardNumbers[0]"},
      {"enabled as text", Json::array({With(kGroup, "enabled", "yes")}), "groups[0].enabled"},
  };
  for (const BadRecord& c : groupCases) {
    FieldError error;
    EXPECT_FALSE(GroupsFromJson(c.list, error)) << c.what;
    EXPECT_EQ(error.field, c.field) << c.what << ": " << error.Message();
  }

  const std::vector<BadRecord> scheduleCases = {
      {"end before start", Json::array({With(kSchedule, "periods", {{9, 0, 8, 0}})}),
       "schedules[0].periods[0]"},
      {"past 24:00", Json::array({With(kSchedule, "periods", {{23, 0, 24, 1}})}),
       "schedules[0].periods[0]"},
      {"minute 60", Json::array({With(kSchedule, "periods", {{8, 60, 9, 0}})}),
       "schedules[0].periods[0]"},
      {"three numbers", Json::array({With(kSchedule, "periods", {{8, 0, 9}})}),
       "schedules[0].periods[0]"},
      {"seven periods",
       Json::array({With(kSchedule, "periods", Json(std::vector<Json>(7, {1, 0, 2, 0})))}),
       "schedules[0].periods"},
  };
  for (const BadRecord& c : scheduleCases) {
    FieldError error;
    EXPECT_FALSE(SchedulesFromJson(c.list, error)) << c.what;
    EXPECT_EQ(error.field, c.field) << c.what << ": " << error.Message();
  }
}

TEST(GatewayRecords, ListLimitsAreTheSendLimits) {
  FieldError error;
  EXPECT_TRUE(CardsFromJson(Json(std::vector<Json>(88, kCard)), error));
  EXPECT_FALSE(CardsFromJson(Json(std::vector<Json>(89, kCard)), error));
  EXPECT_TRUE(GroupsFromJson(Json(std::vector<Json>(32, kGroup)), error));
  EXPECT_FALSE(GroupsFromJson(Json(std::vector<Json>(33, kGroup)), error));
  EXPECT_TRUE(SchedulesFromJson(Json(std::vector<Json>(16, kSchedule)), error));
  EXPECT_FALSE(SchedulesFromJson(Json(std::vector<Json>(17, kSchedule)), error));
}

// A list is compared with a device's report in the form the device reads it back: group card
// slots close up, absent periods read as 255.
TEST(GatewayRecords, ReadBackIsWhatTheDeviceHolds) {
  FieldError error;
  const Json groups = GroupsToJson(GroupsFromJson(Json::array({kGroup}), error)->data(), 1);
  const Json read = Json::parse(ReadBack(ListKind::kGroups, groups));
  EXPECT_EQ(read[0]["cardNumbers"], Json::parse("[7, 9, -1, -1, -1]"));
  EXPECT_EQ(read[0]["groupNumber"], 5);

  const Json schedules =
      SchedulesToJson(SchedulesFromJson(Json::array({kSchedule}), error)->data(), 1);
  EXPECT_EQ(Json::parse(ReadBack(ListKind::kSchedules, schedules))[0]["periods"],
            Json::parse("[[8,0,12,0],[255,255,255,255],[13,30,24,0],[255,255,255,255],"
                        "[255,255,255,255],[255,255,255,255]]"));

  const Json cards = CardsToJson(CardsFromJson(Json::array({kCard}), error)->data(), 1);
  EXPECT_EQ(Json::parse(ReadBack(ListKind::kCards, cards)), Json::array({kCard}));
  EXPECT_EQ(ReadBack(ListKind::kCards, Json::array()), "[]");
}

struct CommandCase {
  const char* body;
  bool legacy;
  const char* normalised;  // nullptr: refused
  const char* field;
};

TEST(GatewayCommands, BodiesAreCheckedAndCompleted) {
  const std::vector<CommandCase> cases = {
      {R"({"command": "control", "code": 2})", false,
       R"({"command":"control","code":2,"first":0,"second":0,"third":0})", nullptr},
      {R"({"command": "control", "code": 2, "first": 16, "second": 32, "third": 48})", true,
       R"({"command":"control","code":2,"first":16,"second":32,"third":48})", nullptr},
      {R"({"command": "control", "code": 128})", false, nullptr, "code"},
      {R"({"command": "control", "code": 16})", true, nullptr, "code"},  // the reader mode's opcode
      {R"({"command": "control", "code": 16})", false,
       R"({"command":"control","code":16,"first":0,"second":0,"third":0})", nullptr},
      {R"({"command": "control", "code": 2, "first": "1"})", false, nullptr, "first"},
      {R"({"command": "extra_output", "value": 3})", false,
       R"({"command":"extra_output","value":3})", nullptr},
      {R"({"command": "extra_output"})", false, nullptr, "value"},
      {R"({"command": "clock"})", true, R"({"command":"clock"})", nullptr},
      {R"({"command": "read"})", false, R"({"command":"read"})", nullptr},
      {R"({"command": "reader_mode", "block": [12, 34, 1, 2, 3]})", true,
       R"({"command":"reader_mode","block":[12,34,1,2,3]})", nullptr},
      {R"({"command": "reader_mode", "block": [100, 34, 1, 2, 3]})", true, nullptr, "block[0]"},
      {R"({"command": "reader_mode", "block": [100, 34, 1, 2, 3]})", false,
       R"({"command":"reader_mode","block":[100,34,1,2,3]})", nullptr},
      {R"({"command": "finger_mode", "block": [1, 2, 3]})", false, nullptr, "block"},
      {R"({"command": "finger_control", "selector": 2, "number": 16909060, "code": 5})", false,
       R"({"command":"finger_control","selector":2,"number":16909060,"code":5})", nullptr},
      {R"({"command": "finger_control", "selector": 2, "number": 4294967296, "code": 5})", false,
       nullptr, "number"},
      {R"({"command": "device_passwords", "password0": "1234", "password9": null})", false,
       R"({"command":"device_passwords","password0":"1234","password1":null,"password2":null,)"
       R"("password3":null,"password4":null,"password5":null,"password6":null,"password7":null,)"
       R"("password8":null,"password9":null})",
       nullptr},
      {R"({"command": "finger_passwords", "password3": "12x"})", false, nullptr, "password3"},
      {R"({"command": "open_door"})", false, nullptr, "command"},
      {R"({"code": 2})", false, nullptr, "command"},
      {R"([1, 2])", false, nullptr, "body"},
  };
  for (const CommandCase& c : cases) {
    FieldError error;
    const auto command = ParseCommand(Json::parse(c.body), c.legacy, error);
    if (c.normalised != nullptr) {
      ASSERT_TRUE(command) << c.body << ": " << error.Message();
      EXPECT_EQ(command->dump(), c.normalised) << c.body;
    } else {
      EXPECT_FALSE(command) << c.body;
      EXPECT_EQ(error.field, c.field) << c.body << ": " << error.Message();
    }
  }
}

TEST(GatewayApi, EveryRouteIsDocumentedAndEveryDocumentedRouteExists) {
  const std::string db = ::testing::TempDir() + "/velkor-openapi-test.db";
  Hub hub;
  Api api(hub, db, "token");
  std::set<std::pair<std::string, std::string>> served(api.RouteTable().begin(),
                                                       api.RouteTable().end());
  std::set<std::pair<std::string, std::string>> documented;
  const Json doc = Json::parse(OpenApiDocument());
  EXPECT_EQ(doc["openapi"].get<std::string>().substr(0, 2), "3.");
  for (const auto& [path, methods] : doc["paths"].items()) {
    for (const auto& [method, _] : methods.items()) {
      std::string upper = method;
      for (char& ch : upper) {
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      }
      documented.emplace(upper, path);
    }
  }
  EXPECT_EQ(served, documented);
  std::remove(db.c_str());
}

TEST(GatewaySupport, SecretsCompareWhole) {
  EXPECT_TRUE(SameSecret("s3cret-token", "s3cret-token"));
  EXPECT_FALSE(SameSecret("s3cret-toke", "s3cret-token"));
  EXPECT_FALSE(SameSecret("s3cret-tokeN", "s3cret-token"));
  EXPECT_FALSE(SameSecret("", "s3cret-token"));
}

TEST(GatewaySupport, HostPortTexts) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    std::uint16_t port;
  };
  for (const Case& c : std::vector<Case>{{"0.0.0.0:47810", true, "0.0.0.0", 47810},
                                         {"127.0.0.1:0", true, "127.0.0.1", 0},
                                         {"[::1]:8080", true, "::1", 8080},
                                         {"::1:8080", false, "", 0},
                                         {"127.0.0.1", false, "", 0},
                                         {"127.0.0.1:65536", false, "", 0},
                                         {"127.0.0.1:-1", false, "", 0},
                                         {":80", false, "", 0}}) {
    std::string host;
    std::uint16_t port = 0;
    EXPECT_EQ(SplitHostPort(c.text, host, port), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(host, c.host) << c.text;
      EXPECT_EQ(port, c.port) << c.text;
    }
  }
}

TEST(GatewaySupport, LoopbackAddresses) {
  for (const auto& [host, loopback] :
       std::vector<std::pair<std::string, bool>>{{"127.0.0.1", true},
                                                 {"127.45.6.7", true},
                                                 {"::1", true},
                                                 {"::ffff:127.0.0.1", true},
                                                 {"0.0.0.0", false},
                                                 {"::", false},
                                                 {"10.0.0.1", false},
                                                 {"::ffff:10.0.0.1", false},
                                                 {"128.0.0.1", false},
                                                 {"localhost", false}}) {
    EXPECT_EQ(IsLoopbackAddress(host), loopback) << host;
  }
}

TEST(GatewaySupport, SerialsAndTimes) {
  EXPECT_EQ(SerialText(0x00112233445566), "00112233445566");
  EXPECT_EQ(ParseSerial("00112233445566"), 0x00112233445566u);
  EXPECT_EQ(ParseSerial("0011223344556a"), 0x0011223344556Au);
  EXPECT_FALSE(ParseSerial("0011223344556"));
  EXPECT_FALSE(ParseSerial("00112233445566FF"));
  EXPECT_FALSE(ParseSerial("0011223344556G"));
  EXPECT_EQ(IsoTime(1710028799123), "2024-03-09T23:59:59.123Z");
  EXPECT_EQ(ParseIsoTime("2024-03-09T23:59:59.123Z"), 1710028799123);
  EXPECT_EQ(ParseIsoTime(IsoTime(0)), 0);
  EXPECT_FALSE(ParseIsoTime(""));
  EXPECT_FALSE(ParseIsoTime("2024-03-09 23:59:59"));
}

TEST(GatewaySupport, StoreLocationsAndWhatMayBePrinted) {
  struct Case {
    const char* location;
    bool postgres;
    const char* printed;
  };
  const Case cases[] = {
      {"velkor.db", false, "velkor.db"},
      {"/var/lib/velkor/postgresql.db", false, "/var/lib/velkor/postgresql.db"},
      {"postgresql://velkor@db:5432/velkor", true, "postgresql://velkor@db:5432/velkor"},
      {"postgres://velkor:s3cret@db/velkor", true, "postgres://velkor:***@db/velkor"},
      {"postgresql://velkor:s3cret@db", true, "postgresql://velkor:***@db"},
      {"postgresql://db/velkor?user=velkor&password=s3cret&sslmode=require", true,
       "postgresql://db/velkor?user=velkor&password=***&sslmode=require"},
      {"postgresql://u:p%40ss@[::1]:5432/v?password=x", true,
       "postgresql://u:***@[::1]:5432/v?password=***"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Database::IsPostgresUrl(c.location), c.postgres) << c.location;
    EXPECT_EQ(Database::Redacted(c.location), c.printed) << c.location;
  }
}

// What a gateway takes from another gateway's rows, and what it keeps of its own.
TEST(GatewaySync, MergeTakesWhatIsNewerKeepsWhatIsInFlight) {
  Hub hub;
  Device mine;
  mine.serial = 7;
  mine.lastSeen = "2026-01-01T00:00:10.000Z";
  mine.accepted = 10;
  mine.commands.push_back({1, Json::object()});
  WantedList cards;
  cards.body = Json::array();
  cards.state = "sent";
  cards.version = 2;
  cards.readBack = "[]";
  mine.lists[0] = cards;
  hub.devices[7] = mine;
  hub.pendingDevices = 1;

  // A row someone else wrote later: admitted, seen later, with commands, one of which this
  // gateway has taken and not yet committed, and the same list confirmed.
  Device theirs = mine;
  theirs.admitted = true;
  theirs.pinnedIp = "10.0.0.9";
  theirs.lastSeen = "2026-01-01T00:00:20.000Z";
  theirs.accepted = 30;
  theirs.commands = {{1, Json::object()}, {2, Json::object()}, {3, Json::object()}};
  theirs.lists[0]->state = "confirmed";
  theirs.lists[0]->readBack.clear();
  hub.commandsInFlight.insert(2);
  MergeDevice(hub, theirs, true);
  Device& d = hub.devices[7];
  EXPECT_TRUE(d.admitted);
  EXPECT_EQ(d.pinnedIp, "10.0.0.9");
  EXPECT_EQ(hub.pendingDevices, 0u);
  EXPECT_EQ(d.accepted, 30u);
  ASSERT_EQ(d.commands.size(), 2u);
  EXPECT_EQ(d.commands[0].id, 1);
  EXPECT_EQ(d.commands[1].id, 3);
  EXPECT_EQ(d.lists[0]->state, "confirmed");
  EXPECT_EQ(d.lists[0]->readBack, "[]") << "the same version keeps its read-back";

  // An older row, or one this gateway has unwritten news of, changes no registry field; a list
  // state behind this gateway's is not taken; a newer version is.
  Device older = theirs;
  older.lastSeen = "2026-01-01T00:00:05.000Z";
  older.accepted = 1;
  older.lists[0]->state = "sent";
  MergeDevice(hub, older, true);
  EXPECT_EQ(d.accepted, 30u);
  EXPECT_EQ(d.lists[0]->state, "confirmed");
  d.dirty = true;
  Device newer = theirs;
  newer.lastSeen = "2026-01-01T00:01:00.000Z";
  newer.accepted = 99;
  newer.lists[0]->version = 3;
  newer.lists[0]->state = "wanted";
  MergeDevice(hub, newer, false);
  EXPECT_EQ(d.accepted, 30u);
  EXPECT_EQ(d.lists[0]->version, 2) << "owed state only with owed";
  MergeDevice(hub, newer, true);
  EXPECT_EQ(d.lists[0]->version, 3);
  EXPECT_EQ(d.lists[0]->state, "wanted");

  // A device this gateway never heard of comes in whole.
  Device other;
  other.serial = 8;
  MergeDevice(hub, other, false);
  EXPECT_EQ(hub.devices.size(), 2u);
  EXPECT_EQ(hub.pendingDevices, 1u);
}

}  // namespace
}  // namespace velkor::gateway

namespace velkor::gateway {
namespace {

// A snapshot of the store read while this gateway queued and sent commands: its merge keeps
// what the snapshot cannot show yet and never brings back what went out meanwhile.
TEST(GatewaySync, AReloadNeitherDropsNorResurrectsCommands) {
  struct Case {
    const char* what;
    std::vector<std::int64_t> memory, stored, inFlight, queuedSince, sentSince, merged;
  };
  const std::vector<Case> cases = {
      {"another gateway's command comes in", {1}, {1, 2}, {}, {}, {}, {1, 2}},
      {"another gateway sent it", {1, 2}, {2}, {}, {}, {}, {2}},
      {"queued here after the snapshot", {1, 5}, {1}, {}, {5}, {}, {1, 5}},
      {"queued here, in the snapshot too", {5}, {5}, {}, {5}, {}, {5}},
      {"sent here after the snapshot", {2}, {1, 2}, {}, {}, {1}, {2}},
      {"taken here, not yet committed", {}, {1, 2}, {1}, {}, {}, {2}},
      {"queued and sent here meanwhile", {}, {}, {}, {4}, {4}, {}},
      {"in id order", {9}, {3, 7}, {}, {9}, {}, {3, 7, 9}},
  };
  for (const Case& c : cases) {
    Hub hub;
    Device& mine = hub.devices[7];
    mine.serial = 7;
    mine.admitted = true;
    for (const std::int64_t id : c.memory) {
      mine.commands.push_back({id, Json::object()});
    }
    Device stored(mine.Registry());
    for (const std::int64_t id : c.stored) {
      stored.commands.push_back({id, Json::object()});
    }
    hub.commandsInFlight.insert(c.inFlight.begin(), c.inFlight.end());
    hub.sinceSnapshot.open = true;
    hub.sinceSnapshot.queued = {c.queuedSince.begin(), c.queuedSince.end()};
    hub.sinceSnapshot.sent = {c.sentSince.begin(), c.sentSince.end()};
    MergeDevice(hub, stored, true);
    std::vector<std::int64_t> merged;
    for (const QueuedCommand& command : mine.commands) {
      merged.push_back(command.id);
    }
    EXPECT_EQ(merged, c.merged) << c.what;
  }
}

TEST(GatewaySync, AReloadLeavesTheSlotsWrittenMeanwhileAsMemoryHasThem) {
  Hub hub;
  Device& mine = hub.devices[7];
  mine.serial = 7;
  mine.templates[1].fill(0xAA);
  mine.voice[1] = {0xAA};
  Device stored(mine.Registry());
  stored.templates[1].fill(0x11);  // older than this gateway's write
  stored.templates[2].fill(0x22);
  stored.voice[1] = {0x11};
  stored.voice[2] = {0x22};
  hub.sinceSnapshot.open = true;
  hub.TemplateWritten(7, 1);
  hub.VoiceWritten(7, 1);
  MergeDevice(hub, stored, true);
  EXPECT_EQ(mine.templates[1][0], 0xAA);
  EXPECT_EQ(mine.templates[2][0], 0x22);
  EXPECT_EQ(mine.voice[1], std::vector<std::uint8_t>{0xAA});
  EXPECT_EQ(mine.voice[2], std::vector<std::uint8_t>{0x22});
}

}  // namespace
}  // namespace velkor::gateway
