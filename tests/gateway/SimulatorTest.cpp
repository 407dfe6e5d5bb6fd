// Whole velkor-sim runs against a running gateway: every reply verified and every reported
// event stored exactly once, a card list set through the API arriving on a device, and a
// gateway killed in the middle of a run losing nothing it acknowledged.
#include <fstream>
#include <map>
#include <random>

#include "ServiceSupport.h"

namespace velkor::test {
namespace {

std::map<EventKey, int> Stored(GatewayProcess& gateway) {
  return Counted(AllEvents(gateway));
}

class SimulatorRunTest : public ::testing::Test {
 protected:
  std::vector<std::string> Sim(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(gateway_->udpPort()), "--quiet"});
    return args;
  }

  ScratchDir dir_;
  std::unique_ptr<GatewayProcess> gateway_ =
      std::make_unique<GatewayProcess>(dir_.path(), std::vector<std::string>{"--admit", "any"});
};

TEST_F(SimulatorRunTest, AllFaultsEveryReplyVerifiedEveryEventStoredOnce) {
  ASSERT_TRUE(gateway_->started()) << gateway_->output();
  const auto report = dir_.path() / "report.json";
  const auto log = dir_.path() / "sim.log";
  ASSERT_EQ(RunTool("velkor-sim",
                    Sim({"--devices", "6", "--rounds", "4", "--seed", "23", "--faults", "all",
                         "--report", report.string()}),
                    log, 120s),
            0)
      << Text(log);
  const Json sim = ReadJson(report);
  ASSERT_TRUE(sim["complete"].get<bool>());
  EXPECT_GT(sim["summary"]["eventsReported"].get<int>(), 50);
  const std::map<EventKey, int> reported = Reported(sim, false);
  EXPECT_EQ(Reported(sim, true), reported) << "a report went unacknowledged";
  EXPECT_EQ(Stored(*gateway_), reported);
  EXPECT_GT(gateway_->Get("/api/v1/link").json["duplicates"].get<int>(), 0)
      << "the run resent no event report; the duplicate check went untried";
}

TEST_F(SimulatorRunTest, ACardListSetThroughTheApiReachesTheDeviceAndIsConfirmed) {
  ASSERT_TRUE(gateway_->started()) << gateway_->output();
  const auto log = dir_.path() / "sim.log";
  // A first run makes the devices known; the same seed gives the same devices again.
  ASSERT_EQ(
      RunTool("velkor-sim", Sim({"--devices", "2", "--rounds", "1", "--seed", "31"}), log, 60s), 0)
      << Text(log);
  const Json devices = gateway_->Get("/api/v1/devices").json["devices"];
  ASSERT_EQ(devices.size(), 2u);
  std::string serial;
  for (const Json& d : devices) {
    if (d["generation"] == "legacy") {
      serial = d["serial"].get<std::string>();
    }
  }
  const Json cards = Json::parse(R"([
    {"cardNumber": 1099511627775, "password": "87654321", "year": 99, "month": 12, "day": 31,
     "hour": 0, "param": 7, "flag0": true, "flag1": true, "flag2": false, "flag3": true,
     "flag4": false, "flag7": true, "flag6": false}])");
  ASSERT_EQ(gateway_->Put("/api/v1/devices/" + serial + "/cards", cards.dump()).status, 200);
  ASSERT_EQ(gateway_
                ->Post("/api/v1/devices/" + serial + "/commands",
                       R"({"command": "control", "code": 2, "first": 1})")
                .status,
            202);

  const auto report = dir_.path() / "report.json";
  ASSERT_EQ(
      RunTool("velkor-sim",
              Sim({"--devices", "2", "--rounds", "2", "--seed", "31", "--report", report.string()}),
              log, 60s),
      0)
      << Text(log);
  const Json sim = ReadJson(report);
  bool found = false;
  for (const Json& device : sim["devices"]) {
    if (device["serial"] == serial) {
      found = true;
      EXPECT_EQ(device["state"]["cards"], cards);
      EXPECT_EQ(device["state"]["control"]["command"], 0x82);
    }
  }
  EXPECT_TRUE(found);
  const Json state = gateway_->Get("/api/v1/devices/" + serial).json;
  EXPECT_EQ(state["lists"]["cards"]["state"], "confirmed") << state.dump();
  EXPECT_EQ(gateway_->Get("/api/v1/devices/" + serial + "/commands").json["commands"][0]["state"],
            "sent");
}

// Holders reach the simulated devices by their tags, a tag taken off takes the cards off, and
// events are served with the holder's and the device's names.
TEST_F(SimulatorRunTest, HoldersReachDevicesByTagAndNameTheirEvents) {
  ASSERT_TRUE(gateway_->started()) << gateway_->output();
  const auto log = dir_.path() / "sim.log";
  const auto report = dir_.path() / "report.json";
  const auto run = [&](const char* rounds = "2") {
    EXPECT_EQ(RunTool("velkor-sim",
                      Sim({"--devices", "2", "--rounds", rounds, "--seed", "31", "--report",
                           report.string()}),
                      log, 60s),
              0)
        << Text(log);
    std::map<std::string, std::vector<std::int64_t>> cards;
    const Json sim = ReadJson(report);
    for (const Json& device : sim["devices"]) {
      for (const Json& card : device["state"].value("cards", Json::array())) {
        cards[device["serial"].get<std::string>()].push_back(card["cardNumber"]);
      }
    }
    return cards;
  };
  run();  // the devices become known
  const Json devices = gateway_->Get("/api/v1/devices").json["devices"];
  ASSERT_EQ(devices.size(), 2u);
  const std::string front = devices[0]["serial"], back = devices[1]["serial"];
  ASSERT_EQ(
      gateway_
          ->Put("/api/v1/devices/" + front + "/labels", R"({"name": "Front door", "tags": ["hq"]})")
          .status,
      200);
  ASSERT_EQ(
      gateway_->Post("/api/v1/holders", R"({"name": "Ann", "cardNumber": 21, "devices": ["hq"]})")
          .status,
      201);
  ASSERT_EQ(
      gateway_->Post("/api/v1/holders", R"({"name": "Bo", "cardNumber": 12, "devices": ["*"]})")
          .status,
      201);
  std::map<std::string, std::vector<std::int64_t>> cards = run();
  EXPECT_EQ(cards[front], (std::vector<std::int64_t>{12, 21}));
  EXPECT_EQ(cards[back], (std::vector<std::int64_t>{12}));
  EXPECT_EQ(gateway_->Get("/api/v1/devices/" + front).json["lists"]["cards"]["state"], "confirmed");

  ASSERT_EQ(
      gateway_->Put("/api/v1/devices/" + front + "/labels", R"({"name": "Front door"})").status,
      200);
  cards = run("30");  // and enough events that some carry a card
  EXPECT_EQ(cards[front], (std::vector<std::int64_t>{12}));

  // A holder of a card the front door reported: its events carry both names.
  Json event;
  for (const Json& e : AllEvents(*gateway_)) {
    if (e.value("cardNumber", std::int64_t{-1}) >= 0) {
      event = e;
    }
  }
  ASSERT_FALSE(event.is_null()) << "the runs reported no card event";
  const auto added = gateway_->Post(
      "/api/v1/holders", "{\"name\": \"Cy\", \"cardNumber\": " + event["cardNumber"].dump() + "}");
  ASSERT_EQ(added.status, 201) << added.json << event;
  const Json named =
      gateway_
          ->Get("/api/v1/events?after=" + std::to_string(event["id"].get<std::int64_t>() - 1) +
                "&limit=1")
          .json["events"][0];
  EXPECT_EQ(named["holder"], "Cy") << named;

  // An import that would put 89 cards on a device is refused whole; an export imports back as
  // no change.
  std::string crowd = "name,cardNumber,devices\n";
  for (int card = 1000; card < 1089; ++card) {  // a device holds 88
    crowd += "p" + std::to_string(card) + "," + std::to_string(card) + ",*\n";
  }
  const std::string exported = gateway_->Get("/api/v1/holders.csv").body;
  const Json lists = gateway_->Get("/api/v1/devices/" + front).json["lists"];
  const HttpReply refused = gateway_->Post("/api/v1/holders.csv", crowd);
  EXPECT_EQ(refused.status, 422) << refused.body;
  EXPECT_EQ(gateway_->Get("/api/v1/holders.csv").body, exported);
  EXPECT_EQ(gateway_->Get("/api/v1/devices/" + front).json["lists"], lists);
  const Json again = gateway_->Post("/api/v1/holders.csv?dry_run=1", exported).json;
  EXPECT_TRUE(again["added"].empty() && again["changed"].empty() && again["removed"].empty())
      << again;
  EXPECT_EQ(named["device_name"], event["device"] == front ? "Front door" : "Back door") << named;
}

TEST_F(SimulatorRunTest, KilledMidRunThenRestartedNothingAcknowledgedIsLost) {
  ASSERT_TRUE(gateway_->started()) << gateway_->output();
  const auto report = dir_.path() / "report.json";
  const auto log = dir_.path() / "sim.log";
  const pid_t sim =
      StartTool("velkor-sim",
                Sim({"--devices", "8", "--rounds", "500", "--seed", "41", "--events-per-report",
                     "4", "--timeout-ms", "300", "--report", report.string()}),
                log);
  // Kill once some events are in.
  for (int i = 0; i < 200; ++i) {
    if (gateway_->Get("/api/v1/link").json["events_stored"].get<int>() > 200) {
      break;
    }
    std::this_thread::sleep_for(25ms);
  }
  gateway_->Kill();
  EXPECT_EQ(WaitTool(sim, 30s), 1) << Text(log);  // the host stopped answering
  const Json run = ReadJson(report);
  ASSERT_TRUE(run.is_object()) << Text(log);
  EXPECT_FALSE(run["complete"].get<bool>());
  EXPECT_EQ(run["ended"], "host stopped answering");

  gateway_ =
      std::make_unique<GatewayProcess>(dir_.path(), std::vector<std::string>{"--admit", "any"});
  ASSERT_TRUE(gateway_->started()) << gateway_->output();
  const std::map<EventKey, int> stored = Stored(*gateway_);
  const std::map<EventKey, int> verified = Reported(run, true);
  const std::map<EventKey, int> reported = Reported(run, false);
  ASSERT_GT(verified.size(), 100u);
  for (const auto& [key, count] : verified) {
    EXPECT_EQ(stored.count(key) ? stored.at(key) : 0, count) << key.first << " " << key.second;
  }
  for (const auto& [key, count] : stored) {
    EXPECT_EQ(count, 1) << "stored twice: " << key.second;
    EXPECT_TRUE(reported.count(key)) << "stored but never reported: " << key.second;
  }
  ASSERT_EQ(gateway_->Stop(), 0);

  EXPECT_EQ(IntegrityCheck(dir_.path() / "velkor.db"), "ok");
}

// Under load, replies wait in the store thread's queue while a commit runs: a kill at any
// moment must find every acknowledged report stored, once. Seeded points over several runs,
// each run's devices (a seed of their own) added to the same store.
TEST_F(SimulatorRunTest, KilledAtRandomPointsUnderLoadLosesNoAcknowledgedEvent) {
  ASSERT_TRUE(gateway_->started()) << gateway_->output();
  std::mt19937 rng(97);
  std::map<EventKey, int> verified, reported;
  for (int run = 0; run < 4; ++run) {
    const auto report = dir_.path() / ("load-" + std::to_string(run) + ".json");
    const auto log = dir_.path() / "sim.log";
    const pid_t sim = StartTool("velkor-sim",
                                Sim({"--devices", "64", "--load", "2", "--traffic", "events",
                                     "--events-per-report", "4", "--timeout-ms", "300", "--seed",
                                     std::to_string(300 + run), "--report", report.string()}),
                                log);
    std::this_thread::sleep_for(std::chrono::milliseconds(300 + rng() % 1200));
    gateway_->Kill();
    WaitTool(sim, 30s);
    const Json load = ReadJson(report);
    ASSERT_TRUE(load.is_object()) << Text(log);
    for (const auto& [key, count] : Reported(load, true)) {
      verified[key] += count;
    }
    for (const auto& [key, count] : Reported(load, false)) {
      reported[key] += count;
    }
    gateway_ =
        std::make_unique<GatewayProcess>(dir_.path(), std::vector<std::string>{"--admit", "any"});
    ASSERT_TRUE(gateway_->started()) << gateway_->output();
  }
  const std::map<EventKey, int> stored = Stored(*gateway_);
  ASSERT_GT(verified.size(), 100u);
  for (const auto& [key, count] : verified) {
    ASSERT_EQ(stored.count(key) ? stored.at(key) : 0, count) << "acknowledged, not stored once";
  }
  for (const auto& [key, count] : stored) {
    ASSERT_EQ(count, 1) << "stored twice: " << key.second;
    ASSERT_TRUE(reported.count(key)) << "stored but never reported: " << key.second;
  }
  ASSERT_EQ(gateway_->Stop(), 0);
  EXPECT_EQ(IntegrityCheck(dir_.path() / "velkor.db"), "ok");
}

}  // namespace
}  // namespace velkor::test
