// The REST API over real HTTP against a running gateway, with simulated devices on UDP: what
// the API sets reaches a device in the reply the policy picks, and what a device reports comes
// back out of the API.
#include <httplib.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "ServiceSupport.h"
#include "VelkorVersion.h"

namespace velkor::test {
namespace {

const char* kCards = R"([
  {"cardNumber": 2882400001, "password": "1234", "year": 24, "month": 3, "day": 9, "hour": 23,
   "param": 90, "flag0": true, "flag1": false, "flag2": true, "flag3": false, "flag4": false,
   "flag7": true, "flag6": false},
  {"cardNumber": 99, "password": "", "year": 1, "month": 2, "day": 3, "hour": 4, "param": 0,
   "flag0": false, "flag1": false, "flag2": false, "flag3": false, "flag4": false,
   "flag7": false, "flag6": true}])";

TEST_F(GatewayTest, CardListGoesOutOnADifferingReportAndIsConfirmedWhenReportedBack) {
  Announce();
  const std::string path = "/api/v1/devices/" + SerialOf(current_) + "/cards";
  EXPECT_EQ(gw().Get(path).status, 404);  // none set yet
  const HttpReply put = gw().Put(path, kCards);
  ASSERT_EQ(put.status, 200) << put.body;
  EXPECT_EQ(put.json["state"], "wanted");
  EXPECT_EQ(gw().Get(path).json, Json::parse(kCards));

  // The device reports its own list: it differs, so the wanted one is the reply.
  const sim::Bytes report = sim::CardListPacket(current_);
  const sim::Reply reply = Checked(report, currentSocket_->Exchange(report));
  ASSERT_EQ(reply.kind, sim::ReplyKind::kCards);
  ASSERT_EQ(reply.cards.size(), 2u);
  EXPECT_EQ(reply.cards[0].number, 2882400001u);
  EXPECT_EQ(reply.cards[0].password, "1234");
  EXPECT_EQ(gw().Get("/api/v1/devices/" + SerialOf(current_)).json["lists"]["cards"]["state"],
            "sent");

  // Reported back as it now holds it: an echo, and the list is confirmed.
  sim::ApplyReply(current_, reply);
  const sim::Bytes again = sim::CardListPacket(current_);
  EXPECT_EQ(Checked(again, currentSocket_->Exchange(again)).kind, sim::ReplyKind::kEcho);
  EXPECT_EQ(gw().Get("/api/v1/devices/" + SerialOf(current_)).json["lists"]["cards"]["state"],
            "confirmed");
}

TEST_F(GatewayTest, QueuedCommandsAnswerTheNextPacketsOldestFirst) {
  Announce();
  const std::string path = "/api/v1/devices/" + SerialOf(legacy_) + "/commands";
  const HttpReply first = gw().Post(path, R"({"command": "control", "code": 2, "first": 16})");
  ASSERT_EQ(first.status, 202) << first.body;
  EXPECT_EQ(first.json["state"], "queued");
  ASSERT_EQ(gw().Post(path, R"({"command": "extra_output", "value": 3})").status, 202);

  const sim::Bytes poll = sim::PollPacket(legacy_);
  const sim::Reply control = Checked(poll, legacySocket_->Exchange(poll));
  EXPECT_EQ(control.kind, sim::ReplyKind::kControl);
  EXPECT_EQ(control.control.command, 0x82);
  EXPECT_EQ(control.control.arguments[0], 16);
  const sim::Bytes poll2 = sim::PollPacket(legacy_);
  const sim::Reply output = Checked(poll2, legacySocket_->Exchange(poll2));
  EXPECT_EQ(output.kind, sim::ReplyKind::kExtraOutput);
  EXPECT_EQ(output.extraOutput, 3);
  const sim::Bytes poll3 = sim::PollPacket(legacy_);
  EXPECT_EQ(Checked(poll3, legacySocket_->Exchange(poll3)).kind, sim::ReplyKind::kEcho);

  const HttpReply one = gw().Get(path + "/" + std::to_string(first.json["id"].get<int>()));
  EXPECT_EQ(one.json["state"], "sent");
  EXPECT_EQ(one.json["answered"]["code"], 2);
  EXPECT_TRUE(one.json.contains("sent_at"));
  EXPECT_EQ(gw().Get(path).json["commands"].size(), 2u);
}

TEST_F(GatewayTest, TemplatesAndVoiceClipsAnswerTheirRequests) {
  Announce();
  // A template put through the API answers a request for its slot.
  std::string hex;
  for (int i = 0; i < 128; ++i) {
    char byte[3];
    std::snprintf(byte, sizeof byte, "%02X", (i * 7) & 0xFF);
    hex += byte;
  }
  const std::string templates = "/api/v1/devices/" + SerialOf(current_) + "/templates/";
  ASSERT_EQ(gw().Put(templates + "5", Json{{"template", hex}}.dump()).status, 200);
  const sim::Bytes request = sim::FingerRequestPacket(current_, 5, 42);
  const sim::Reply reply = Checked(request, currentSocket_->Exchange(request));
  ASSERT_EQ(reply.kind, sim::ReplyKind::kFingerTemplate);
  EXPECT_EQ(reply.fingerTemplate[1], 7);
  // A slot with nothing stored gets an all-zero template.
  const sim::Bytes empty = sim::FingerRequestPacket(current_, 6, 42);
  const sim::Reply none = Checked(empty, currentSocket_->Exchange(empty));
  EXPECT_EQ(none.kind, sim::ReplyKind::kFingerTemplate);
  EXPECT_EQ(none.fingerTemplate, sim::Template{});
  // A device's upload is stored for its slot.
  sim::Template uploaded{};
  uploaded[0] = 0xAB;
  const sim::Bytes upload = sim::FingerUploadPacket(current_, 9, uploaded);
  Checked(upload, currentSocket_->Exchange(upload));
  EXPECT_EQ(gw().Get(templates + "9").json["template"].get<std::string>().substr(0, 4), "AB00");

  // Voice: the clip stored for the request word, else no data.
  const std::string clip = "ID3 voice clip bytes";
  const std::string voice = "/api/v1/devices/" + SerialOf(legacy_) + "/voice/";
  ASSERT_EQ(gw().Put(voice + "258", clip, "application/octet-stream").status, 200);
  EXPECT_EQ(gw().Get(voice + "258").body, clip);
  const sim::Bytes ask = sim::VoiceRequestPacket(legacy_, 258, 3);
  const sim::Reply data = Checked(ask, legacySocket_->Exchange(ask));
  ASSERT_EQ(data.kind, sim::ReplyKind::kVoiceData);
  EXPECT_EQ(std::string(data.voiceData.begin(), data.voiceData.end()), clip);
  const sim::Bytes other = sim::VoiceRequestPacket(legacy_, 259, 3);
  EXPECT_TRUE(Checked(other, legacySocket_->Exchange(other)).voiceData.empty());
}

TEST_F(GatewayTest, EventsAreStoredInOrderAndPagedAndStreamed) {
  Announce();
  sim::Rng rng(3);
  std::vector<sim::Event> events;
  for (int i = 0; i < 5; ++i) {
    events.push_back(sim::MakeEvent(rng, false, 100 + static_cast<std::uint64_t>(i)));
  }
  const sim::Bytes report = sim::EventPacket(current_, events);
  EXPECT_EQ(Checked(report, currentSocket_->Exchange(report)).kind, sim::ReplyKind::kEcho);

  const HttpReply page = gw().Get("/api/v1/events?limit=2");
  ASSERT_EQ(page.status, 200) << page.body;
  ASSERT_EQ(page.json["events"].size(), 2u);
  EXPECT_EQ(page.json["next"], 2);
  const Json& first = page.json["events"][0];
  EXPECT_EQ(first["device"], SerialOf(current_));
  EXPECT_EQ(first["kind"], events[0].bytes[0]);
  EXPECT_EQ(first["raw"].get<std::string>().size(), 32u);
  EXPECT_EQ(first["received_at"].get<std::string>().back(), 'Z');
  const HttpReply rest = gw().Get("/api/v1/events?after=2&limit=1000");
  EXPECT_EQ(rest.json["events"].size(), 3u);
  EXPECT_EQ(rest.json["events"][0]["id"], 3);
  EXPECT_EQ(gw().Get("/api/v1/events?device=" + SerialOf(legacy_)).json["events"].size(), 0u);
  EXPECT_EQ(gw().Get("/api/v1/events?device=" + SerialOf(current_)).json["events"].size(), 5u);

  // The stream resumes after Last-Event-ID: events 4 and 5.
  httplib::Client client("127.0.0.1", gw().httpPort());
  client.set_read_timeout(5, 0);
  std::string received;
  const httplib::Headers headers = {{"Authorization", "Bearer test-token"}, {"Last-Event-ID", "3"}};
  client.Get("/api/v1/events/stream", headers, [&](const char* data, std::size_t length) {
    received.append(data, length);
    return received.find("id: 5\n") == std::string::npos;  // stop once event 5 is in
  });
  EXPECT_EQ(received.find("id: 3\n"), std::string::npos) << received;
  ASSERT_NE(received.find("id: 4\ndata: {"), std::string::npos) << received;
  EXPECT_NE(received.find("id: 5\ndata: {"), std::string::npos) << received;
}

struct BadRequest {
  const char* what;
  const char* method;
  std::string path;
  std::string body;
  int status;
  bool auth = true;
};

// Bad input gets a 4xx with a JSON error and changes nothing.
TEST_F(GatewayTest, BadRequestsGetJsonErrorsAndChangeNothing) {
  Announce();
  const std::string device = "/api/v1/devices/" + SerialOf(current_);
  ASSERT_EQ(gw().Put(device + "/cards", kCards).status, 200);
  const Json before = gw().Get(device).json;
  const Json cardsBefore = gw().Get(device + "/cards").json;

  const std::string card = Json::parse(kCards)[0].dump();
  std::string tooMany = "[";
  for (int i = 0; i < 89; ++i) {
    tooMany += (i ? "," : "") + card;
  }
  tooMany += "]";
  const std::vector<BadRequest> cases = {
      {"no token", "GET", "/api/v1/devices", "", 401, false},
      {"no token on a write", "PUT", device + "/cards", "[]", 401, false},
      {"bad JSON", "PUT", device + "/cards", "[{\"cardNumber\": ", 400},
      {"not an array", "PUT", device + "/cards", R"({"cards": []})", 400},
      {"wrong type", "PUT", device + "/cards", R"([{"cardNumber": "1"}])", 400},
      {"89 cards", "PUT", device + "/cards", tooMany, 422},
      {"huge body", "PUT", device + "/cards", std::string(2 << 20, ' '), 413},
      {"unknown route", "GET", "/api/v1/nowhere", "", 404},
      {"unknown list", "GET", device + "/doors", "", 404},
      {"malformed serial", "GET", "/api/v1/devices/12345", "", 400},
      {"serial with a non-hex digit", "GET", "/api/v1/devices/0011223344556Z", "", 400},
      {"unknown serial", "PUT", "/api/v1/devices/00000000000001/cards", "[]", 404},
      {"unknown command", "POST", device + "/commands", R"({"command": "explode"})", 400},
      {"password not digits", "POST", device + "/commands",
       R"({"command": "device_passwords", "password0": "12a"})", 400},
      {"command body not JSON", "POST", device + "/commands", "control", 400},
      {"voice word out of range", "PUT", device + "/voice/70000", "abc", 400},
      {"voice clip past a datagram", "PUT", device + "/voice/1", std::string(70000, 'x'), 413},
      {"template too short", "PUT", device + "/templates/1", R"({"template": "00FF"})", 400},
      {"template slot 256", "PUT", device + "/templates/256",
       Json{{"template", std::string(256, '0')}}.dump(), 400},
      {"limit 0", "GET", "/api/v1/events?limit=0", "", 400},
      {"limit past 1000", "GET", "/api/v1/events?limit=1001", "", 400},
      {"after not a number", "GET", "/api/v1/events?after=-1", "", 400},
      {"unknown command id", "GET", device + "/commands/99", "", 404},
      // Bytes that are not UTF-8 and numbers past 64 bits once ended the process or got a 500.
      {"route not UTF-8", "GET", "/api/v1/%FF", "", 404},
      {"serial not UTF-8", "GET", "/api/v1/devices/%FF", "", 400},
      {"after past 2^63", "GET", "/api/v1/events?after=9999999999999999999", "", 400},
      {"command id 2^63", "GET", device + "/commands/9223372036854775808", "", 400},
  };
  for (const BadRequest& c : cases) {
    const std::string method = c.method;
    const HttpReply reply = method == "GET"   ? gw().Get(c.path, c.auth)
                            : method == "PUT" ? gw().Put(c.path, c.body, "application/json", c.auth)
                                              : gw().Post(c.path, c.body, c.auth);
    EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body.substr(0, 200);
    EXPECT_TRUE(reply.json.is_object() && reply.json["error"].is_string())
        << c.what << ": " << reply.body.substr(0, 200);
  }
  // Wrong token, compared whole.
  httplib::Client client("127.0.0.1", gw().httpPort());
  EXPECT_EQ(client.Get("/api/v1/devices", {{"Authorization", "Bearer test-toke"}})->status, 401);
  EXPECT_EQ(client.Get("/api/v1/devices", {{"Authorization", "test-token"}})->status, 401);

  Json after = gw().Get(device).json;
  EXPECT_EQ(after["queued_commands"], 0);
  EXPECT_EQ(after["lists"], before["lists"]);
  EXPECT_EQ(after["voice"], Json::array());
  EXPECT_EQ(gw().Get(device + "/cards").json, cardsBefore);
}

std::string SourceFile(const std::string& name) {
  std::ifstream file(std::string(VELKOR_CONSOLE_DIR) + "/" + name, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST_F(GatewayTest, ConsoleFilesAreServedWithoutTokenAndNothingElseIs) {
  httplib::Client client("127.0.0.1", gw().httpPort());
  const struct {
    const char* path;
    const char* file;
    const char* type;
  } files[] = {{"/", "index.html", "text/html; charset=utf-8"},
               {"/console.js", "console.js", "text/javascript; charset=utf-8"},
               {"/console.css", "console.css", "text/css; charset=utf-8"}};
  for (const auto& f : files) {
    const auto res = client.Get(f.path);
    ASSERT_TRUE(res) << f.path;
    EXPECT_EQ(res->status, 200) << f.path;
    EXPECT_EQ(res->get_header_value("Content-Type"), f.type) << f.path;
    EXPECT_EQ(res->get_header_value("Content-Security-Policy"), "default-src 'self'") << f.path;
    EXPECT_EQ(res->get_header_value("X-Content-Type-Options"), "nosniff") << f.path;
    EXPECT_EQ(res->get_header_value("Cache-Control"), "no-store") << f.path;
    EXPECT_EQ(res->get_header_value("Referrer-Policy"), "no-referrer") << f.path;
    EXPECT_EQ(res->get_header_value("X-Frame-Options"), "DENY") << f.path;
    // Bundled byte for byte as committed.
    const std::string committed = SourceFile(f.file);
    ASSERT_FALSE(committed.empty()) << f.file;
    EXPECT_TRUE(res->body == committed) << f.path << " differs from gateway/console/" << f.file;
  }
  // Only those three paths, and only to read them, pass without the token.
  for (const char* path : {"/index.html", "/console.js/", "/console.jsx", "/api/v1/", "/x"}) {
    const auto res = client.Get(path);
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 401) << path;
    EXPECT_TRUE(Json::parse(res->body, nullptr, false).contains("error")) << path;
  }
  const auto post = client.Post("/", "{}", "application/json");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 401);
}

TEST_F(GatewayTest, OpenApiAndHealthNeedNoToken) {
  const HttpReply doc = gw().Get("/api/v1/openapi.json", false);
  ASSERT_EQ(doc.status, 200);
  EXPECT_TRUE(doc.json["paths"].contains("/api/v1/devices/{serial}/commands"));
  EXPECT_EQ(doc.json["info"]["version"], VELKOR_VERSION);
  EXPECT_EQ(gw().Get("/favicon.ico", false).status, 404);  // not a 401 for the browser's own ask
  httplib::Client client("127.0.0.1", gw().httpPort());
  const auto answer = client.Get("/api/v1/devices");  // a 401, with the headers every answer has
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->get_header_value("X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(answer->get_header_value("Cache-Control"), "no-store");
  // Without the token only the verdict: the store's message may name its host.
  const HttpReply health = gw().Get("/api/v1/healthz", false);
  EXPECT_EQ(health.status, 200);
  EXPECT_EQ(health.json, Json({{"status", "ok"}}));
  const HttpReply detailed = gw().Get("/api/v1/healthz");
  EXPECT_EQ(detailed.json["link"], "up");
  EXPECT_EQ(detailed.json["store"], "ok");
}

// Keys added and revoked on the command line, on the store of a running gateway, take effect
// within a second; the key is printed once, the list never shows it.
TEST_F(GatewayTest, KeysFromTheCommandLineTakeEffectWhileItRuns) {
  Announce();
  const std::string db = (dir_.path() / "velkor.db").string();
  const auto keys = [&](std::vector<std::string> args) {
    const auto log = dir_.path() / "keys.log";
    args.insert(args.begin(), "keys");
    args.insert(args.end(), {"--db", db});
    const int status = RunTool("velkor-gateway", args, log, std::chrono::seconds(30));
    std::ifstream in(log);
    return std::pair{status, std::string(std::istreambuf_iterator<char>(in), {})};
  };
  const auto [added, printed] = keys({"add", "door-app", "--role", "operate"});
  ASSERT_EQ(added, 0) << printed;
  const std::size_t at = printed.find("vk_");
  const std::string key = printed.substr(at, printed.find('\n', at) - at);
  ASSERT_EQ(key.size(), 67u) << printed;  // vk_ and 64 hex digits

  httplib::Client client("127.0.0.1", gw().httpPort());
  const httplib::Headers bearer = {{"Authorization", "Bearer " + key}};
  const std::string commands = "/api/v1/devices/" + SerialOf(current_) + "/commands";
  const auto status = [&](const char* method) {
    const auto reply =
        std::string(method) == "GET"
            ? client.Get(commands, bearer)
            : client.Post(commands, bearer, R"({"command": "clock"})", "application/json");
    return reply ? reply->status : 0;
  };
  const auto within = [&](const char* method, int wanted) {
    int got = status(method);
    for (int i = 0; i < 30 && got != wanted; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      got = status(method);
    }
    return got;
  };
  EXPECT_EQ(within("POST", 202), 202);
  EXPECT_EQ(
      client
          .Put(commands.substr(0, commands.size() - 8) + "cards", bearer, "[]", "application/json")
          ->status,
      403);

  const auto [listed, list] = keys({"list"});
  EXPECT_EQ(listed, 0);
  EXPECT_NE(list.find("door-app"), std::string::npos) << list;
  EXPECT_NE(list.find("operate"), std::string::npos) << list;
  EXPECT_EQ(list.find(key.substr(3)), std::string::npos) << "the list shows the key";

  ASSERT_EQ(keys({"revoke", "door-app"}).first, 0);
  EXPECT_EQ(within("GET", 401), 401);
  const Json audit = gw().Get("/api/v1/audit").json["entries"];
  ASSERT_GE(audit.size(), 3u) << audit.dump();
  EXPECT_EQ(audit[0]["route"], "keys add");
  EXPECT_EQ(audit[1]["actor"], "door-app");
  EXPECT_EQ(audit[2]["route"], "keys revoke");
  EXPECT_NE(gw().output().find("key \"door-app\" is revoked"), std::string::npos) << gw().output();
}

}  // namespace
}  // namespace velkor::test
