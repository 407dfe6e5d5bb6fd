// The API's router and handlers in process, and the transport's request parser: the answers to
// hostile input, the paging and the per-device bounds, the health check's two faces, a store
// failure under an open event stream, what each key's role allows, and the audit trail.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <thread>

#include "Api.h"
#include "HttpServer.h"
#include "Keys.h"
#include "Metrics.h"
#include "Requests.h"
#include "Store.h"

namespace velkor::gateway {
namespace {

constexpr std::uint64_t kSerial = 0x0A2DEC89025CC1;
const std::string kDevice = "/api/v1/devices/0A2DEC89025CC1";

// A stream end that takes every chunk.
struct Taker : StreamWriter {
  bool Write(std::string_view chunk) override {
    taken += chunk;
    return true;
  }
  bool Open() const override { return true; }
  std::string taken;
};

class ApiInProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    // tmpfs where there is one: each write of the store is a synced transaction.
    const std::filesystem::path dir =
        std::filesystem::exists("/dev/shm") ? "/dev/shm" : ::testing::TempDir();
    path_ = (dir / ("velkor-api-" + std::to_string(getpid()) + ".db")).string();
    Remove();
    db_ = Database::Open(path_);
    Migrate(*db_);
    AddDevice(kSerial);
    hub_.linkUp = true;
    api_ = std::make_unique<Api>(hub_, path_, "token");
  }
  void TearDown() override {
    api_.reset();
    db_.reset();
    Remove();
  }
  void Remove() {
    for (const char* suffix : {"", "-wal", "-shm"}) {
      std::filesystem::remove(path_ + suffix);
    }
  }
  void AddDevice(std::uint64_t serial) {
    Device& d = hub_.devices[serial];
    d.serial = serial;
    d.type = 0;
    d.admitted = true;
  }

  HttpResponse Call(const std::string& method, const std::string& target,
                    const std::string& body = "", bool auth = true) {
    HttpHeaders headers;
    if (auth) {
      headers["authorization"] = "Bearer token";  // field names in any case
    }
    return api_->Handle(HttpRequest::Make(method, target, headers, body));
  }
  static Json Body(const HttpResponse& response) { return Json::parse(response.body); }

  std::string path_;
  std::unique_ptr<Database> db_;
  Hub hub_;
  std::unique_ptr<Api> api_;
};

// Bytes that are not UTF-8 once made dump() throw (the process ended, or a 500 with doubled
// headers); numbers past 2^63 made std::stoll throw (500).
TEST_F(ApiInProcess, HostileTargetsGetJsonErrors) {
  const struct {
    std::string target;
    int status;
  } cases[] = {
      {"/api/v1/%FF", 404},
      {"/api/v1/\xC3", 404},
      {"/api/v1/devices/%FF%FE", 400},
      {"/api/v1/devices?after=%FF", 400},
      {"/api/v1/events?after=9999999999999999999", 400},
      {"/api/v1/events?limit=99999999999999999999999", 400},
      {"/api/v1/events?device=%C3%28", 400},
      {kDevice + "/commands/9223372036854775808", 400},
      {kDevice + "/commands?after=18446744073709551616", 400},
      {kDevice + "/voice/%FF", 400},
      {kDevice + "/templates/256", 400},
  };
  for (const auto& c : cases) {
    const HttpResponse response = Call("GET", c.target);
    EXPECT_EQ(response.status, c.status) << c.target << ": " << response.body;
    const Json body = Json::parse(response.body, nullptr, false);  // strict about UTF-8
    ASSERT_TRUE(body.is_object()) << c.target << ": " << response.body;
    EXPECT_TRUE(body["error"].is_string()) << c.target;
    EXPECT_EQ(response.headers.at("Cache-Control"), "no-store") << c.target;
  }
}

TEST_F(ApiInProcess, DevicesAndCommandsComeInPages) {
  for (std::uint64_t serial : {5, 3, 9, 1}) {
    AddDevice(serial);
  }
  std::vector<std::string> seen;
  Json next = nullptr;
  for (int page = 0; page < 10; ++page) {
    const HttpResponse response =
        Call("GET", "/api/v1/devices?limit=2" +
                        (next.is_null() ? "" : "&after=" + next.get<std::string>()));
    ASSERT_EQ(response.status, 200) << response.body;
    const Json body = Body(response);
    EXPECT_LE(body["devices"].size(), 2u);
    for (const Json& d : body["devices"]) {
      seen.push_back(d["serial"]);
    }
    next = body["next"];
    if (next.is_null()) {
      break;
    }
  }
  EXPECT_EQ(seen, (std::vector<std::string>{SerialText(1), SerialText(3), SerialText(5),
                                            SerialText(9), SerialText(kSerial)}));

  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(Call("POST", kDevice + "/commands", R"({"command": "clock"})").status, 202);
  }
  const Json first = Body(Call("GET", kDevice + "/commands?limit=2"));
  ASSERT_EQ(first["commands"].size(), 2u);
  const Json rest =
      Body(Call("GET", kDevice + "/commands?after=" + std::to_string(first["next"].get<int>())));
  ASSERT_EQ(rest["commands"].size(), 1u);
  EXPECT_GT(rest["commands"][0]["id"], first["commands"][1]["id"]);
}

TEST_F(ApiInProcess, EachDeviceHoldsBoundedCommandsAndVoiceClips) {
  for (std::size_t i = 0; i < kMaxQueuedCommands; ++i) {
    ASSERT_EQ(Call("POST", kDevice + "/commands", R"({"command": "clock"})").status, 202) << i;
  }
  EXPECT_EQ(Call("POST", kDevice + "/commands", R"({"command": "clock"})").status, 429);
  EXPECT_EQ(hub_.devices[kSerial].commands.size(), kMaxQueuedCommands);

  for (std::size_t word = 0; word < kMaxVoiceClips; ++word) {
    ASSERT_EQ(Call("PUT", kDevice + "/voice/" + std::to_string(word), "clip").status, 200);
  }
  EXPECT_EQ(Call("PUT", kDevice + "/voice/9999", "clip").status, 422);
  EXPECT_EQ(Call("PUT", kDevice + "/voice/7", "another clip").status, 200);  // a replacement
  EXPECT_EQ(hub_.devices[kSerial].voice.size(), kMaxVoiceClips);
}

TEST_F(ApiInProcess, TheStoreKeepsTheNewestSentCommands) {
  const Json clock = {{"command", "clock"}};
  {
    Transaction transaction(*db_);
    for (int i = 0; i < kKeptSentCommands + 5; ++i) {
      MarkCommandSent(*db_, InsertCommand(*db_, kSerial, clock, "t"), "t", "00", 0);
    }
    InsertCommand(*db_, kSerial, clock, "t");  // queued, and it prunes
    transaction.Commit();
  }
  const Json all = ListCommands(*db_, kSerial, std::nullopt, 0, 5000);
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kKeptSentCommands + 1));
  EXPECT_EQ(all[0]["id"], 6);  // the five oldest went
  EXPECT_EQ(all.back()["state"], "queued");
}

// healthz needs no token, so without one it says nothing of the store (its message may name a
// host); a store failure is over once an API call has used the store successfully.
TEST_F(ApiInProcess, HealthTellsDetailsToTokenHoldersAndRecovers) {
  hub_.storeError = "could not connect to server db.internal:5432";
  const HttpResponse anonymous = Call("GET", "/api/v1/healthz", "", false);
  EXPECT_EQ(anonymous.status, 503);
  EXPECT_EQ(Body(anonymous), Json({{"status", "degraded"}}));
  EXPECT_EQ(Body(Call("GET", "/api/v1/healthz"))["store"], hub_.storeError);

  ASSERT_EQ(Call("GET", "/api/v1/events").status, 200);
  const HttpResponse recovered = Call("GET", "/api/v1/healthz");
  EXPECT_EQ(recovered.status, 200);
  EXPECT_EQ(Body(recovered)["store"], "ok");
}

// The provider once ran outside any handler: a DatabaseError there ended the process.
TEST_F(ApiInProcess, AStoreFailureEndsTheEventStreamOnly) {
  HttpResponse stream = Call("GET", "/api/v1/events/stream");
  ASSERT_EQ(stream.status, 200);
  ASSERT_TRUE(stream.stream);
  EXPECT_EQ(stream.headers.at("Cache-Control"), "no-cache");
  db_->Exec("DROP VIEW events_text; DROP VIEW events; DROP TABLE event_reports");
  Taker taker;
  bool more = true;
  EXPECT_NO_THROW(more = stream.stream(taker));
  EXPECT_FALSE(more);
  EXPECT_FALSE(hub_.storeError.empty());
}

// The transport's limits, applied by its parser before any handler sees the request.
TEST(HttpParser, LimitsComeBeforeAnyHandler) {
  const std::string fields = [] {
    std::string text;
    for (int i = 0; i < 101; ++i) {
      text += "X-" + std::to_string(i) + ": 1\r\n";
    }
    return text;
  }();
  std::string chunked = "PUT / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 17; ++i) {
    chunked += "10000\r\n" + std::string(0x10000, 'x') + "\r\n";
  }
  chunked += "0\r\n\r\n";
  const struct {
    const char* what;
    std::string bytes;
    int status;        // 0: parsed
    std::size_t body;  // when parsed
  } cases[] = {
      {"POST without a length", "POST /x HTTP/1.1\r\nHost: a\r\n\r\n", 0, 0},
      {"a form of 10,000 bytes",
       "PUT /x HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
       "Content-Length: 10000\r\n\r\n" +
           std::string(10000, '['),
       0, 10000},
      {"101 fields", "GET / HTTP/1.1\r\n" + fields + "\r\n", 431, 0},
      {"17 KiB of header", "GET / HTTP/1.1\r\nX: " + std::string(17 << 10, 'a') + "\r\n\r\n", 431,
       0},
      {"a length past 1 MiB", "PUT / HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n", 413, 0},
      {"chunks past 1 MiB", chunked, 413, 0},
      {"not HTTP", "\x16\x03\x01\x02\x00\x01\x00", 400, 0},
  };
  for (const auto& c : cases) {
    const ParsedRequest parsed = ParseRequest(c.bytes, HttpLimits{});
    EXPECT_EQ(parsed.request ? 0 : parsed.status, c.status) << c.what << ": " << parsed.error;
    if (parsed.request) {
      EXPECT_EQ(parsed.request->body.size(), c.body) << c.what;
    }
  }
}

// The store's contents but for the keys' last use, which a refused request may well update.
std::string StoreDump(const std::string& path) {
  sqlite3* db = nullptr;
  std::string dump;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    const auto row = [](void* out, int columns, char** values, char**) {
      for (int i = 0; i < columns; ++i) {
        *static_cast<std::string*>(out) += std::string(values[i] ? values[i] : "NULL") + "|";
      }
      return 0;
    };
    for (const char* table :
         {"devices", "events", "commands", "lists", "templates", "voice", "audit", "mqtt_cursors",
          "device_labels", "holders", "tag_lists", "site"}) {
      sqlite3_exec(db, (std::string("SELECT * FROM ") + table).c_str(), row, &dump, nullptr);
      dump += "\n";
    }
  }
  sqlite3_close(db);
  return dump;
}

// Each documented operation against no key, a wrong key, a revoked key and a key of each role:
// the role each needs is the document's x-role. Refusals change nothing in the store.
TEST_F(ApiInProcess, EveryRouteAnswersEachKeyAsItsRoleAllows) {
  const std::string at = IsoTime(NowMs());
  ASSERT_TRUE(InsertKey(*db_, "reader", Role::kRead, KeyHash("key-read"), at));
  ASSERT_TRUE(InsertKey(*db_, "operator", Role::kOperate, KeyHash("key-operate"), at));
  ASSERT_TRUE(InsertKey(*db_, "root", Role::kAdmin, KeyHash("key-admin"), at));
  ASSERT_TRUE(InsertKey(*db_, "gone", Role::kAdmin, KeyHash("key-gone"), at));
  const auto as = [&](const std::string& key, const std::string& method, const std::string& target,
                      const std::string& body = "{}") {
    HttpHeaders headers;
    if (!key.empty()) {
      headers["Authorization"] = "Bearer " + key;
    }
    return api_->Handle(HttpRequest::Make(method, target, headers, body)).status;
  };
  ASSERT_EQ(as("key-gone", "GET", "/api/v1/whoami"), 200);
  ASSERT_TRUE(DeleteKey(*db_, "gone"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the ring rereads each second

  const struct {
    std::string key;
    std::optional<Role> role;  // nullopt: not a valid key
  } keys[] = {
      {"", std::nullopt},        {"key-wrong", std::nullopt},     {"key-gone", std::nullopt},
      {"key-read", Role::kRead}, {"key-operate", Role::kOperate}, {"key-admin", Role::kAdmin},
      {"token", Role::kAdmin}};
  const Json doc = Json::parse(OpenApiDocument());
  const std::string before = StoreDump(path_);
  int refusals = 0;
  for (const auto& [path, methods] : doc["paths"].items()) {
    std::string target = path;
    for (const auto& [name, value] : {std::pair{"{serial}", SerialText(kSerial)},
                                      {"{id}", "1"},
                                      {"{word}", "1"},
                                      {"{slot}", "1"},
                                      {"{name}", "nobody"}}) {
      const std::size_t found = target.find(name);
      if (found != std::string::npos) {
        target.replace(found, std::strlen(name), value);
      }
    }
    for (const auto& [method, operation] : methods.items()) {
      std::string upper = method;
      std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
      const bool isPublic = operation.contains("security") && operation["security"].empty();
      const auto needed = ParseRole(operation.value("x-role", std::string()));
      ASSERT_TRUE(isPublic || needed) << upper << " " << path << " names no x-role";
      if (!isPublic) {
        EXPECT_EQ(api_->RoleOf(upper, path), needed) << upper << " " << path;
      }
      for (const auto& k : keys) {
        const bool allowed = isPublic || (k.role && *k.role >= *needed);
        const int expected = allowed ? 0 : k.role ? 403 : 401;
        if (allowed && upper != "GET") {
          continue;  // the changes themselves are the next test's
        }
        const int status = as(k.key, upper, target);
        if (expected != 0) {
          ++refusals;
          EXPECT_EQ(status, expected) << upper << " " << path << " with \"" << k.key << "\"";
        } else {
          EXPECT_NE(status, 401) << upper << " " << path << " with \"" << k.key << "\"";
          EXPECT_NE(status, 403) << upper << " " << path << " with \"" << k.key << "\"";
        }
      }
    }
  }
  EXPECT_GT(refusals, 60);
  EXPECT_EQ(StoreDump(path_), before) << "a refused request changed the store";
}

// Each kind of change the API accepts leaves one entry, written with it, naming the key, the
// route as documented and what changed; a refused change leaves none.
TEST_F(ApiInProcess, EachAcceptedChangeIsAuditedWithItsKey) {
  ASSERT_TRUE(InsertKey(*db_, "reader", Role::kRead, KeyHash("key-read"), IsoTime(NowMs())));
  const struct {
    std::string method, target, body;
    int status;
    std::string route;
    Json detail;  // fields the entry's detail holds
  } changes[] = {
      {"POST", kDevice + "/admit", "", 200, "/api/v1/devices/{serial}/admit", {{"address", ""}}},
      {"PUT",
       kDevice + "/cards",
       R"([{"cardNumber": 1234, "password": "", "year": 0, "month": 0, "day": 0, "hour": 0,
             "param": 0, "flag0": false, "flag1": false, "flag2": false, "flag3": false,
             "flag4": false, "flag6": false, "flag7": false}])",
       200,
       "/api/v1/devices/{serial}/cards",
       {{"list", "cards"}, {"version", 1}, {"records", 1}}},
      {"POST",
       kDevice + "/commands",
       R"({"command": "clock"})",
       202,
       "/api/v1/devices/{serial}/commands",
       {{"command_id", 1}}},
      {"PUT",
       kDevice + "/voice/7",
       "ID3",
       200,
       "/api/v1/devices/{serial}/voice/{word}",
       {{"word", 7}, {"length", 3}}},
      {"PUT",
       kDevice + "/templates/2",
       R"({"template": ")" + std::string(256, 'A') + R"("})",
       200,
       "/api/v1/devices/{serial}/templates/{slot}",
       {{"slot", 2}}},
      {"POST",
       "/api/v1/keys",
       R"({"name": "app", "role": "operate"})",
       201,
       "/api/v1/keys",
       {{"key", "app"}, {"role", "operate"}}},
      {"DELETE", "/api/v1/keys/app", "", 200, "/api/v1/keys/{name}", {{"key", "app"}}},
  };
  for (const auto& c : changes) {
    HttpHeaders reader{{"Authorization", "Bearer key-read"}};
    ASSERT_EQ(api_->Handle(HttpRequest::Make(c.method, c.target, reader, c.body)).status, 403);
    const HttpResponse response = Call(c.method, c.target, c.body);
    ASSERT_EQ(response.status, c.status) << c.method << " " << c.target << ": " << response.body;
  }
  const Json entries = Body(Call("GET", "/api/v1/audit"))["entries"];
  ASSERT_EQ(entries.size(), std::size(changes));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Json& entry = entries[i];
    EXPECT_EQ(entry["actor"], "token");
    EXPECT_EQ(entry["method"], changes[i].method);
    EXPECT_EQ(entry["route"], changes[i].route);
    EXPECT_EQ(entry["status"], changes[i].status);
    for (const auto& [field, value] : changes[i].detail.items()) {
      EXPECT_EQ(entry["detail"][field], value) << changes[i].route << ": " << field;
    }
  }
  EXPECT_EQ(Body(Call("GET", "/api/v1/audit?device=" + SerialText(kSerial)))["entries"].size(), 5u);
  EXPECT_EQ(Body(Call("GET", "/api/v1/audit/refusals"))["refused_by_address"].size(), 1u);
}

// On a shared store another gateway writes a device's row before this one's sync hears of it:
// every route that names a device reads the store on a miss and serves it with what it is owed,
// a serial the store does not hold either adds nothing to memory, and a store that fails then
// is a 503.
TEST_F(ApiInProcess, ADeviceOnlyTheStoreHoldsIsServedOnEveryDeviceRoute) {
  const std::string card =
      R"([{"cardNumber": 7, "password": "", "year": 0, "month": 0, "day": 0, "hour": 0,
           "param": 0, "flag0": false, "flag1": false, "flag2": false, "flag3": false,
           "flag4": false, "flag6": false, "flag7": false}])";
  const struct {
    std::string method, route, body;  // route after the device's path; ID: its stored command
    int status;
  } routes[] = {
      {"GET", "", "", 200},
      {"POST", "/admit", "", 200},
      {"GET", "/cards", "", 200},
      {"PUT", "/cards", card, 200},
      {"POST", "/commands", R"({"command": "clock"})", 202},
      {"GET", "/commands", "", 200},
      {"GET", "/commands/ID", "", 200},
      {"PUT", "/voice/1", "clip", 200},
      {"GET", "/voice/1", "", 200},
      {"PUT", "/templates/1", R"({"template": ")" + std::string(256, 'A') + R"("})", 200},
      {"GET", "/templates/1", "", 200},
  };
  const auto target = [&](std::uint64_t serial, const std::string& route, std::int64_t id) {
    std::string path = "/api/v1/devices/" + SerialText(serial) + route;
    if (const std::size_t at = path.find("ID"); at != std::string::npos) {
      path.replace(at, 2, std::to_string(id));
    }
    return path;
  };
  constexpr std::uint64_t kStored = 0x0B000000000000, kUnknown = 0x0C000000000000;
  std::vector<std::int64_t> commands;
  {
    Transaction transaction(*db_);
    for (std::uint64_t i = 0; i < std::size(routes); ++i) {
      Device row;
      row.serial = kStored + i;
      row.ip = "127.0.0.1";
      row.firstSeen = row.lastSeen = IsoTime(NowMs());
      SaveDevice(*db_, row);
      commands.push_back(InsertCommand(*db_, row.serial, {{"command", "clock"}}, row.lastSeen));
      WantedList list;
      list.body = Json::parse(card);
      list.state = "wanted";
      list.setAt = row.lastSeen;
      SaveList(*db_, row.serial, ListKind::kCards, list);
      SaveTemplate(*db_, row.serial, 1, Template{}, "device", row.lastSeen);
      SaveVoice(*db_, row.serial, 1, {1, 2, 3}, row.lastSeen);
    }
    transaction.Commit();
  }
  for (std::uint64_t i = 0; i < std::size(routes); ++i) {
    const auto& r = routes[i];
    const HttpResponse known = Call(r.method, target(kStored + i, r.route, commands[i]), r.body);
    EXPECT_EQ(known.status, r.status) << r.method << " " << r.route << ": " << known.body;
    const Device* d = hub_.Find(kStored + i);
    ASSERT_NE(d, nullptr) << r.method << " " << r.route;
    EXPECT_FALSE(d->commands.empty() || !d->lists[0] || d->templates.empty() || d->voice.empty())
        << r.method << " " << r.route << ": taken in without what it is owed";
    const HttpResponse unknown = Call(r.method, target(kUnknown + i, r.route, 1), r.body);
    EXPECT_EQ(unknown.status, 404) << r.method << " " << r.route;
    EXPECT_EQ(Body(unknown)["error"], "no device " + SerialText(kUnknown + i));
  }
  EXPECT_EQ(hub_.devices.size(), std::size(routes) + 1);
  EXPECT_EQ(hub_.pendingDevices, std::size(routes) - 1);  // one admitted

  db_->Exec("DROP TABLE devices");
  for (const auto& r : routes) {
    const HttpResponse failed = Call(r.method, target(kUnknown, r.route, 1), r.body);
    EXPECT_EQ(failed.status, 503) << r.method << " " << r.route << ": " << failed.body;
    EXPECT_EQ(Body(failed)["error"].get<std::string>().rfind("store: ", 0), 0u) << failed.body;
  }
  EXPECT_EQ(hub_.devices.size(), std::size(routes) + 1);
  EXPECT_FALSE(hub_.storeError.empty());
}

// Requests are counted by their route's template, never by the path they named; unmatched
// ones as "other"; the text is served only with the token.
// Holders reach devices by tag, by serial and everywhere, through the lists the gateway already
// keeps; a device's own list stays until it is given back; a change that would put more than 88
// cards on a device is refused whole; a device first seen later gets its cards.
TEST_F(ApiInProcess, HoldersReachDevicesThroughTheirTagsAndARefusalChangesNothing) {
  constexpr std::uint64_t kOther = 0x0B000000000002, kLater = 0x0C000000000003;
  const std::string other = "/api/v1/devices/" + SerialText(kOther);
  AddDevice(kOther);
  const auto cards = [&](const std::string& device) {
    std::vector<std::int64_t> numbers;
    for (const Json& card : Body(Call("GET", device + "/cards"))) {
      numbers.push_back(card["cardNumber"].get<std::int64_t>());
    }
    return numbers;
  };
  const auto holder = [&](int card, const char* devices) {
    return Call("POST", "/api/v1/holders",
                "{\"name\": \"h" + std::to_string(card) + "\", \"cardNumber\": " +
                    std::to_string(card) + ", \"devices\": " + devices + "}");
  };
  ASSERT_EQ(Call("PUT", kDevice + "/labels", R"({"name": "Front door", "tags": ["hq"]})").status,
            200);
  ASSERT_EQ(holder(30, R"(["hq"])").status, 201);
  ASSERT_EQ(holder(20, R"(["*"])").status, 201);
  EXPECT_EQ(holder(20, R"(["hq"])").status, 409) << "a card is one holder's";
  EXPECT_EQ(cards(kDevice), (std::vector<std::int64_t>{20, 30}));
  EXPECT_EQ(cards(other), (std::vector<std::int64_t>{20}));
  const Json device = Body(Call("GET", kDevice));
  EXPECT_EQ(device["name"], "Front door");
  EXPECT_EQ(device["modes"]["cards"], "derived");
  EXPECT_EQ(Body(Call("GET", "/api/v1/devices?tag=hq"))["devices"].size(), 1u);

  // A list set directly is the device's own until it is given back.
  CardRecord own{};
  own.cardNumber = 5;
  ASSERT_EQ(Call("PUT", other + "/cards", CardsToJson(&own, 1).dump()).status, 200);
  ASSERT_EQ(holder(40, R"(["*"])").status, 201);
  EXPECT_EQ(cards(other), (std::vector<std::int64_t>{5}));
  EXPECT_EQ(Body(Call("GET", other))["modes"]["cards"], "manual");
  ASSERT_EQ(Call("DELETE", other + "/cards").status, 200);
  EXPECT_EQ(cards(other), (std::vector<std::int64_t>{20, 40}));

  // Filled to 88 on the tagged device; one more anywhere is refused, and nothing changes.
  for (int card = 100; card < 185; ++card) {
    ASSERT_EQ(holder(card, R"(["hq"])").status, 201) << card;
  }
  ASSERT_EQ(cards(kDevice).size(), 88u);
  ASSERT_EQ(holder(8, ("[\"" + SerialText(kOther) + "\"]").c_str()).status, 201);
  const std::string before = StoreDump(path_);
  const HttpResponse refused = holder(7, R"(["*"])");
  EXPECT_EQ(refused.status, 422);
  EXPECT_NE(Body(refused)["error"].get<std::string>().find(SerialText(kSerial) + " would hold 89"),
            std::string::npos);
  EXPECT_EQ(Call("PUT", other + "/labels", R"({"tags": ["hq"]})").status, 422);
  EXPECT_TRUE(StoreDump(path_) == before) << "a refusal changes nothing";
  EXPECT_EQ(cards(other), (std::vector<std::int64_t>{8, 20, 40}));
  EXPECT_TRUE(Body(Call("GET", other))["tags"].empty());

  // The tag taken off takes its holders' cards off.
  ASSERT_EQ(Call("PUT", kDevice + "/labels", R"({"name": "Front door"})").status, 200);
  EXPECT_EQ(cards(kDevice), (std::vector<std::int64_t>{20, 40}));

  // A device first seen now gets what every device gets, within the keeper's round.
  {
    std::lock_guard lock(hub_.mutex);
    AddDevice(kLater);
    hub_.NoteFirstContact(kLater);
  }
  for (int i = 0;
       i < 50 && Call("GET", "/api/v1/devices/" + SerialText(kLater) + "/cards").status != 200;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(cards("/api/v1/devices/" + SerialText(kLater)), (std::vector<std::int64_t>{20, 40}));

  // A list another gateway set directly, before this one heard of it, stays as it was set.
  WantedList set;
  set.body = CardsToJson(&own, 1);
  set.state = "wanted";
  ASSERT_GT(SaveList(*db_, kLater, ListKind::kCards, set), 0);
  ASSERT_EQ(holder(50, R"(["*"])").status, 201);
  Statement& stored = db_->Prepare("SELECT mode, body FROM lists WHERE device = ? AND kind = ?");
  stored.Bind(SerialText(kLater), "cards");
  ASSERT_TRUE(stored.Step());
  EXPECT_EQ(stored.Text(0), "manual");
  EXPECT_EQ(Json::parse(stored.Text(1)), set.body);
  stored.Reset();
  EXPECT_EQ(cards(other), (std::vector<std::int64_t>{8, 20, 40, 50}));

  // Nor is a derived list that memory has not caught up with taken as it was: a card another
  // gateway put there, of a holder removed since, must come off.
  WantedList ahead;
  ahead.body = Body(Call("GET", other + "/cards"));
  ahead.body.push_back(CardsToJson(&own, 1)[0]);
  ahead.state = "wanted";
  ASSERT_TRUE(SaveDerivedList(*db_, kOther, ListKind::kCards, ahead));
  ASSERT_EQ(holder(51, ("[\"" + SerialText(kSerial) + "\"]").c_str()).status, 201);
  stored.Bind(SerialText(kOther), "cards");
  ASSERT_TRUE(stored.Step());
  EXPECT_EQ(Json::parse(stored.Text(1)).size(), 4u) << stored.Text(1);
  stored.Reset();
}

// An export reads back as no change; an import replaces the holders all or nothing, its dry run
// changes nothing, and a bad file is refused by the line and column of its first fault.
TEST_F(ApiInProcess, HoldersGoOutAsCsvAndComeBackAllOrNothing) {
  const auto import = [&](const std::string& csv, bool dry = false) {
    return Call("POST", std::string("/api/v1/holders.csv") + (dry ? "?dry_run=1" : ""), csv);
  };
  ASSERT_EQ(Call("PUT", kDevice + "/labels", R"({"tags": ["hq"]})").status, 200);
  const std::string file =
      "name,cardNumber,devices,note,password\r\n"
      "\"Lee, Ann\",7,hq,\"says \"\"hi\"\"\r\nat the desk\",1234\r\n"
      "Zoë Ørsted,9,* hq,,\r\n";
  HttpResponse dry = import(file, true);
  ASSERT_EQ(dry.status, 200) << dry.body;
  EXPECT_EQ(Body(dry)["added"].size(), 2u);
  EXPECT_EQ(Body(dry)["lists_changed"].size(), 1u);
  EXPECT_TRUE(Body(Call("GET", "/api/v1/holders"))["holders"].empty()) << "a dry run";
  ASSERT_EQ(import(file).status, 200);
  EXPECT_EQ(Body(Call("GET", kDevice + "/cards")).size(), 2u);

  const std::string exported = Call("GET", "/api/v1/holders.csv").body;
  const Json again = Body(import(exported, true));
  EXPECT_TRUE(again["added"].empty() && again["changed"].empty() && again["removed"].empty())
      << exported;
  const Json holders = Body(Call("GET", "/api/v1/holders"))["holders"];
  ASSERT_EQ(holders.size(), 2u);
  EXPECT_EQ(holders[0]["name"], "Lee, Ann");
  EXPECT_EQ(holders[0]["note"], "says \"hi\"\r\nat the desk");
  EXPECT_EQ(holders[1]["devices"], Json::array({"*", "hq"}));

  const std::string before = StoreDump(path_);
  const struct {
    std::string csv;
    std::size_t line;
    const char* column;  // "" for the record's own fault
  } bad[] = {
      {"name,cardNumber,colour\nAnn,7,red\n", 1, "colour"},
      {"name,devices\nAnn,hq\n", 1, "cardNumber"},
      {"name,cardNumber\nAnn,7\nBo,seven\n", 3, "cardNumber"},
      {"name,cardNumber\nAnn,7\nBo,8\nCy,7\n", 4, "cardNumber"},
      {"name,cardNumber\nAnn,7\nB\"o,8\n", 3, ""},
      {"name,cardNumber\nAnn,7,extra\n", 2, ""},
      {"name,cardNumber,flag0\nAnn,7,yes\n", 2, "flag0"},
      {"name,cardNumber,devices\nAnn,7,Front door\n", 2, "devices"},
      {"id,name,cardNumber\n99,Ann,7\n", 2, "id"},
  };
  for (const auto& c : bad) {
    const HttpResponse refused = import(c.csv);
    EXPECT_EQ(refused.status, 400) << c.csv;
    const Json body = Body(refused);
    EXPECT_EQ(body["line"], c.line) << c.csv << body;
    EXPECT_EQ(body["column"], *c.column ? Json(c.column) : Json(nullptr)) << c.csv << body;
  }
  EXPECT_TRUE(StoreDump(path_) == before) << "a refused import changes nothing";

  // A file without a holder removes it, and its card leaves the device.
  const HttpResponse fewer = import("name,cardNumber,devices\nZoë Ørsted,9,*\n");
  ASSERT_EQ(fewer.status, 200);
  EXPECT_EQ(Body(fewer)["removed"].size(), 1u);
  EXPECT_EQ(Body(fewer)["changed"].size(), 1u);
  EXPECT_EQ(Body(Call("GET", kDevice + "/cards")).size(), 1u);
}

TEST_F(ApiInProcess, MetricsCountRequestsByRouteTemplate) {
  EXPECT_EQ(Call("GET", "/metrics", "", false).status, 401);
  EXPECT_EQ(Call("GET", kDevice).status, 200);
  EXPECT_EQ(Call("GET", "/api/v1/devices/0A2DEC89025CC2").status, 404);
  EXPECT_EQ(Call("GET", "/api/v1/no/such/route").status, 404);
  EXPECT_EQ(Call("POST", kDevice + "/commands", R"({"command": "clock"})").status, 202);
  const HttpResponse metrics = Call("GET", "/metrics");
  ASSERT_EQ(metrics.status, 200);
  EXPECT_EQ(metrics.contentType, kMetricsContentType);
  const std::string device = R"(method="GET",route="/api/v1/devices/{serial}",code=")";
  for (const std::string& line : {
           "velkor_http_requests_total{" + device + "200\"} 1\n",
           "velkor_http_requests_total{" + device + "404\"} 1\n",
           std::string(R"(velkor_http_requests_total{method="GET",route="other",code="404"} 1)"),
           std::string(R"(velkor_http_requests_total{method="GET",route="other",code="401"} 1)"),
           std::string(
               R"(velkor_http_request_duration_seconds_count{route="/api/v1/devices/{serial}"} 2)"),
           std::string("velkor_commands_total{state=\"queued\"} 1\n"),
           std::string("velkor_devices{state=\"silent\"} 1\n"),
       }) {
    EXPECT_NE(metrics.body.find(line), std::string::npos) << line << "\n" << metrics.body;
  }
  EXPECT_EQ(metrics.body.find("0A2DEC89025CC"), std::string::npos) << "a serial in a label";
}

}  // namespace
}  // namespace velkor::gateway
