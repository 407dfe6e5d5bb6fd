// Gateways on a real PostgreSQL server that the test starts itself, in its scratch folder on
// loopback (as an unprivileged user when the test runs as root): two gateways sharing it with
// the simulator's devices split between them, a command queued on one gateway and delivered
// once by the other, a device just seen by one gateway known to the other at once, a gateway
// killed and its devices moved to the other, and the server restarted under a running gateway.
#include <cstdio>
#include <fstream>
#include <map>
#include <set>

#include "ScratchPostgres.h"
#include "ServiceSupport.h"

namespace velkor::test {
namespace {

class SharedStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(pg_.url().empty()) << Text(dir_.path() / "postgres.log"); }

  // A gateway in a folder of its own on the shared store.
  std::unique_ptr<GatewayProcess> Gateway(const std::string& name,
                                          const std::string& admit = "any") {
    std::filesystem::create_directories(dir_.path() / name);
    return std::make_unique<GatewayProcess>(
        dir_.path() / name, std::vector<std::string>{"--db", pg_.url(), "--admit", admit});
  }

  std::vector<std::string> Sim(const GatewayProcess& gateway, std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(gateway.udpPort()), "--quiet"});
    return args;
  }

  // Waits (10 s at most) until `gateway` lists `count` devices.
  static bool Lists(GatewayProcess& gateway, std::size_t count) {
    for (int i = 0; i < 200; ++i) {
      if (gateway.Get("/api/v1/devices").json["devices"].size() == count) {
        return true;
      }
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  ScratchDir dir_;
  ScratchPostgres pg_{dir_.path()};
};

TEST_F(SharedStoreTest, TwoGatewaysOneStoreEitherShowsEveryDeviceAndEvent) {
  auto a = Gateway("a");
  auto b = Gateway("b");
  ASSERT_TRUE(a->started() && b->started()) << a->output() << b->output();
  const auto reportA = dir_.path() / "a.json";
  const auto reportB = dir_.path() / "b.json";
  const pid_t simA = StartTool("velkor-sim",
                               Sim(*a, {"--devices", "4", "--rounds", "4", "--seed", "23",
                                        "--faults", "all", "--report", reportA.string()}),
                               dir_.path() / "a.log");
  const pid_t simB = StartTool("velkor-sim",
                               Sim(*b, {"--devices", "4", "--rounds", "4", "--seed", "29",
                                        "--faults", "all", "--report", reportB.string()}),
                               dir_.path() / "b.log");
  ASSERT_EQ(WaitTool(simA, 120s), 0) << Text(dir_.path() / "a.log");
  ASSERT_EQ(WaitTool(simB, 120s), 0) << Text(dir_.path() / "b.log");

  std::map<EventKey, int> reported = Reported(ReadJson(reportA), false);
  for (const auto& [key, count] : Reported(ReadJson(reportB), false)) {
    reported[key] += count;
  }
  EXPECT_TRUE(Lists(*a, 8));
  EXPECT_TRUE(Lists(*b, 8));
  const Json fromA = AllEvents(*a);
  const Json fromB = AllEvents(*b);
  EXPECT_EQ(fromA, fromB);
  EXPECT_EQ(Counted(fromA), reported);

  // Ids are unique, and each device's events have them in the order the device reported them:
  // the report's order, read from either simulator.
  std::set<std::int64_t> ids;
  std::map<std::string, std::vector<std::string>> stored;
  for (const Json& event : fromA) {
    EXPECT_TRUE(ids.insert(event["id"].get<std::int64_t>()).second);
    stored[event["device"].get<std::string>()].push_back(event["raw"].get<std::string>());
  }
  for (const auto& report : {reportA, reportB}) {
    const Json run = ReadJson(report);
    for (const Json& device : run["devices"]) {
      std::vector<std::string> order;
      for (const Json& event : device["events"]) {
        order.push_back(event["raw"].get<std::string>());
      }
      EXPECT_EQ(stored[device["serial"].get<std::string>()], order);
    }
  }
}

TEST_F(SharedStoreTest, EventsReadBackAsFromASqliteStore) {
  auto shared = Gateway("a");
  std::filesystem::create_directories(dir_.path() / "sqlite");
  GatewayProcess file(dir_.path() / "sqlite", {"--admit", "any"});
  ASSERT_TRUE(shared->started() && file.started()) << shared->output() << file.output();
  // Reports of both generations with records of every kind and code group the simulator makes.
  sim::Rng rng(77);
  for (int generation = 0; generation < 2; ++generation) {
    const sim::DeviceState device = sim::MakeDevice(rng, static_cast<std::size_t>(generation));
    std::vector<sim::Event> events;
    for (std::uint64_t n = 1; n <= 24; ++n) {
      events.push_back(sim::MakeEvent(rng, generation == 1, n));
    }
    const sim::Bytes hello = sim::ConfigPacket(device, sim::code::kConfiguration);
    for (GatewayProcess* gateway : {shared.get(), &file}) {
      DeviceSocket socket(gateway->udpPort());
      Checked(hello, socket.Exchange(hello));
      for (std::size_t at = 0; at < events.size(); at += 8) {
        const sim::Bytes report = sim::EventPacket(
            device, std::vector<sim::Event>(events.begin() + static_cast<std::ptrdiff_t>(at),
                                            events.begin() + static_cast<std::ptrdiff_t>(at + 8)));
        Checked(report, socket.Exchange(report));
      }
    }
  }
  const auto fields = [](Json events) {
    for (Json& event : events) {
      event.erase("received_at");
    }
    return events;
  };
  const Json stored = fields(AllEvents(*shared));
  EXPECT_EQ(stored.size(), 48u);
  EXPECT_EQ(stored, fields(AllEvents(file)));
}

TEST_F(SharedStoreTest, ACommandQueuedOnOneGatewayGoesOutOnceThroughTheOther) {
  auto a = Gateway("a");
  auto b = Gateway("b");
  ASSERT_TRUE(a->started() && b->started()) << a->output() << b->output();
  sim::Rng rng(5);
  const sim::DeviceState device = sim::MakeDevice(rng, 0);
  const std::string serial = SerialOf(device);
  DeviceSocket toA(a->udpPort());
  DeviceSocket toB(b->udpPort());
  const sim::Bytes hello = sim::ConfigPacket(device, sim::code::kConfiguration);
  ASSERT_EQ(Checked(hello, toB.Exchange(hello)).kind, sim::ReplyKind::kClock);
  ASSERT_TRUE(Lists(*a, 1));

  // Queued on A, for a device that talks to B.
  constexpr int kCommands = 5;
  for (int i = 0; i < kCommands; ++i) {
    const std::string body =
        R"({"command": "control", "code": 2, "first": )" + std::to_string(i + 1) + "}";
    ASSERT_EQ(a->Post("/api/v1/devices/" + serial + "/commands", body).status, 202);
  }
  const sim::Bytes poll = sim::PollPacket(device);
  const auto control = [&](const std::optional<sim::Bytes>& reply) {
    return reply && Checked(poll, reply).kind == sim::ReplyKind::kControl;
  };
  // B hears of them through the store's notifications: polled for, 15 s at most.
  int delivered = 0;
  for (int i = 0; i < 300 && delivered < kCommands; ++i) {
    delivered += control(toB.Exchange(poll, 2s)) ? 1 : 0;
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(delivered, kCommands);

  // Then both gateways at once, as a device that moves does: each command is claimed once in
  // the store, so the gateway that loses a claim sends nothing rather than the command again.
  for (int i = 0; i < kCommands; ++i) {
    const std::string body = R"({"command": "control", "code": 2, "first": 9})";
    ASSERT_EQ(b->Post("/api/v1/devices/" + serial + "/commands", body).status, 202);
  }
  for (int i = 0;
       i < 300 && a->Get("/api/v1/devices/" + serial).json["queued_commands"] != kCommands; ++i) {
    std::this_thread::sleep_for(50ms);  // A hears of them
  }
  int both = 0;
  for (int i = 0; i < 100 && both < kCommands; ++i) {
    toA.Send(poll);
    toB.Send(poll);
    for (int replies = 0; replies < 2; ++replies) {
      const auto reply = (replies == 0 ? toA : toB).Receive(1500ms);
      both += control(reply) ? 1 : 0;
    }
  }
  EXPECT_EQ(both, kCommands);
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(control(toA.Exchange(poll, 1s)));
    EXPECT_FALSE(control(toB.Exchange(poll, 1s)));
  }
  for (GatewayProcess* gateway : {a.get(), b.get()}) {
    const Json commands = gateway->Get("/api/v1/devices/" + serial + "/commands").json["commands"];
    ASSERT_EQ(commands.size(), 2u * kCommands);
    for (const Json& c : commands) {
      EXPECT_EQ(c["state"], "sent") << c.dump();
    }
  }
}

// A new device's row is read by the other gateways' sync about once a second: until then a
// request to them reads the store on the miss rather than answer 404. A serial the store does
// not hold is still a 404 everywhere, and adds nothing to memory.
TEST_F(SharedStoreTest, ADeviceJustSeenByOneGatewayIsKnownToTheOtherAtOnce) {
  auto a = Gateway("a");
  auto b = Gateway("b");
  ASSERT_TRUE(a->started() && b->started()) << a->output() << b->output();
  sim::Rng rng(17);
  const sim::DeviceState device = sim::MakeDevice(rng, 0);
  const std::string seen = "/api/v1/devices/" + SerialOf(device);
  const std::string unknown = "/api/v1/devices/" + SerialOf(sim::MakeDevice(rng, 0));
  DeviceSocket toB(b->udpPort());
  const sim::Bytes hello = sim::ConfigPacket(device, sim::code::kConfiguration);
  ASSERT_EQ(Checked(hello, toB.Exchange(hello)).kind, sim::ReplyKind::kClock);

  const std::string command = R"({"command": "control", "code": 2, "first": 1})";
  const HttpReply queued = a->Post(seen + "/commands", command);
  EXPECT_EQ(queued.status, 202) << queued.body;
  const HttpReply shown = a->Get(seen);
  EXPECT_EQ(shown.status, 200) << shown.body;
  EXPECT_EQ(shown.json["queued_commands"], 1) << shown.body;
  for (GatewayProcess* gateway : {a.get(), b.get()}) {
    EXPECT_EQ(gateway->Get(unknown).status, 404);
    EXPECT_EQ(gateway->Post(unknown + "/commands", command).status, 404);
    EXPECT_EQ(gateway->Get("/api/v1/devices").json["devices"].size(), 1u);
  }
}

TEST_F(SharedStoreTest, ListsSetOnTwoGatewaysAtOnceEndTheSameOnBothAndInTheStore) {
  auto a = Gateway("a");
  auto b = Gateway("b");
  ASSERT_TRUE(a->started() && b->started()) << a->output() << b->output();
  sim::Rng rng(13);
  const sim::DeviceState device = sim::MakeDevice(rng, 1);
  DeviceSocket socket(a->udpPort());
  const sim::Bytes hello = sim::ConfigPacket(device, sim::code::kConfiguration);
  Checked(hello, socket.Exchange(hello));
  ASSERT_TRUE(Lists(*b, 1));
  const std::string path = "/api/v1/devices/" + SerialOf(device) + "/cards";
  const auto cards = [](int number) {
    return Json::array({{{"cardNumber", number},
                         {"password", "1"},
                         {"year", 30},
                         {"month", 1},
                         {"day", 2},
                         {"hour", 3},
                         {"param", 1},
                         {"flag0", true},
                         {"flag1", false},
                         {"flag2", false},
                         {"flag3", false},
                         {"flag4", false},
                         {"flag7", false},
                         {"flag6", false}}});
  };
  // Both gateways start from the same version in memory, each PUT in a thread of its own.
  for (int round = 0; round < 4; ++round) {
    std::thread other([&] { EXPECT_EQ(b->Put(path, cards(2 * round + 2).dump()).status, 200); });
    EXPECT_EQ(a->Put(path, cards(2 * round + 1).dump()).status, 200);
    other.join();
    Json onA, onB;
    for (int i = 0; i < 100; ++i) {
      onA = a->Get(path).json;
      onB = b->Get(path).json;
      if (onA == onB) {
        break;
      }
      std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(onA, onB) << "round " << round;
    // The store holds the same: a gateway that starts now loads it.
    std::filesystem::remove_all(dir_.path() / "c");
    auto c = Gateway("c");
    ASSERT_TRUE(c->started()) << c->output();
    EXPECT_EQ(c->Get(path).json, onA) << "round " << round;
  }
}

// Holders added through both gateways at once all reach the device, on both; the labels set
// on one gateway are the other's too.
TEST_F(SharedStoreTest, HoldersAddedOnTwoGatewaysAtOnceAllReachTheDeviceOnBoth) {
  auto a = Gateway("a");
  auto b = Gateway("b");
  ASSERT_TRUE(a->started() && b->started()) << a->output() << b->output();
  sim::Rng rng(19);
  const sim::DeviceState device = sim::MakeDevice(rng, 1);
  DeviceSocket socket(a->udpPort());
  const sim::Bytes hello = sim::ConfigPacket(device, sim::code::kConfiguration);
  Checked(hello, socket.Exchange(hello));
  ASSERT_TRUE(Lists(*b, 1));
  const std::string path = "/api/v1/devices/" + SerialOf(device);
  ASSERT_EQ(a->Put(path + "/labels", R"({"name": "Gate", "tags": ["hq"]})").status, 200);
  const auto add = [](GatewayProcess& gateway, int first) {
    for (int card = first; card < first + 80; card += 8) {
      EXPECT_EQ(gateway
                    .Post("/api/v1/holders", "{\"name\": \"h" + std::to_string(card) +
                                                 "\", \"cardNumber\": " + std::to_string(card) +
                                                 ", \"devices\": [\"hq\"]}")
                    .status,
                201);
    }
  };
  // Four clients at once, two on each gateway, ten holders each.
  std::vector<std::thread> clients;
  for (int first = 1; first <= 4; ++first) {
    clients.emplace_back([&, first] { add(first % 2 == 0 ? *b : *a, first); });
  }
  for (std::thread& client : clients) {
    client.join();
  }
  for (GatewayProcess* gateway : {a.get(), b.get()}) {
    Json cards;
    for (int i = 0; i < 100 && cards.size() != 40; ++i) {
      cards = gateway->Get(path + "/cards").json;
      std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(cards.size(), 40u) << cards.size();
    EXPECT_EQ(gateway->Get(path).json["name"], "Gate");
  }
}

TEST_F(SharedStoreTest, AKilledGatewaysDevicesMoveToTheOtherWithTheirListsNothingLost) {
  auto a = Gateway("a");
  auto b = Gateway("b");
  ASSERT_TRUE(a->started() && b->started()) << a->output() << b->output();
  const auto first = dir_.path() / "first.json";
  const auto others = dir_.path() / "others.json";
  const auto moved = dir_.path() / "moved.json";
  const pid_t simA =
      StartTool("velkor-sim",
                Sim(*a, {"--devices", "6", "--rounds", "500", "--seed", "41", "--events-per-report",
                         "4", "--timeout-ms", "300", "--report", first.string()}),
                dir_.path() / "first.log");
  // A card list for one of A's legacy devices, set through A.
  ASSERT_TRUE(Lists(*a, 6));
  std::string serial;
  const Json devices = a->Get("/api/v1/devices").json["devices"];
  for (const Json& d : devices) {
    if (d["generation"] == "legacy") {
      serial = d["serial"].get<std::string>();
    }
  }
  const Json cards = Json::parse(R"([
    {"cardNumber": 4242, "password": "1234", "year": 30, "month": 1, "day": 2, "hour": 3,
     "param": 1, "flag0": true, "flag1": false, "flag2": false, "flag3": false, "flag4": false,
     "flag7": false, "flag6": false}])");
  ASSERT_FALSE(serial.empty());
  ASSERT_EQ(a->Put("/api/v1/devices/" + serial + "/cards", cards.dump()).status, 200);
  const pid_t simB = StartTool(
      "velkor-sim",
      Sim(*b, {"--devices", "4", "--rounds", "6", "--seed", "43", "--report", others.string()}),
      dir_.path() / "others.log");

  for (int i = 0; i < 400; ++i) {
    if (a->Get("/api/v1/link").json["events_stored"].get<int>() > 200) {
      break;
    }
    std::this_thread::sleep_for(25ms);
  }
  a->Kill();
  EXPECT_EQ(WaitTool(simA, 30s), 1) << Text(dir_.path() / "first.log");
  ASSERT_EQ(WaitTool(simB, 120s), 0) << Text(dir_.path() / "others.log");

  // The same devices (the same seed) now talk to B: their list is there, and every reply
  // verifies.
  ASSERT_EQ(RunTool("velkor-sim",
                    Sim(*b, {"--devices", "6", "--rounds", "2", "--seed", "41", "--report",
                             moved.string()}),
                    dir_.path() / "moved.log", 120s),
            0)
      << Text(dir_.path() / "moved.log");
  bool found = false;
  const Json movedRun = ReadJson(moved);
  for (const Json& device : movedRun["devices"]) {
    if (device["serial"] == serial) {
      found = true;
      EXPECT_EQ(device["state"]["cards"], cards);
    }
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(b->Get("/api/v1/devices/" + serial).json["lists"]["cards"]["state"], "confirmed");

  // Every acknowledged event is stored, and nothing that no device reported. The moved devices
  // start again from the same seed, so they report some of the killed run's events again: in
  // a datagram equal byte for byte, answered and stored once; in another, stored again.
  const Json firstRun = ReadJson(first);
  EXPECT_EQ(firstRun["ended"], "host stopped answering");
  std::map<EventKey, int> verified = Reported(firstRun, true);
  std::map<EventKey, int> reported = Reported(firstRun, false);
  for (const auto& path : {others, moved}) {
    for (const auto& [key, count] : Reported(ReadJson(path), true)) {
      verified[key] += count;
    }
    for (const auto& [key, count] : Reported(ReadJson(path), false)) {
      reported[key] += count;
    }
  }
  const std::map<EventKey, int> stored = Counted(AllEvents(*b));
  ASSERT_GT(verified.size(), 200u);
  for (const auto& [key, count] : verified) {
    EXPECT_TRUE(stored.count(key))
        << "acknowledged, not stored: " << key.first << " " << key.second;
  }
  for (const auto& [key, count] : stored) {
    EXPECT_TRUE(reported.count(key)) << "stored but never reported: " << key.second;
    EXPECT_LE(count, reported.count(key) ? reported.at(key) : 0) << "stored twice: " << key.second;
  }
  EXPECT_EQ(b->Stop(), 0);
}

TEST_F(SharedStoreTest, TheServerRestartedUnderARunningGatewayPollsGoOnReportsWait) {
  auto gateway = Gateway("a");
  ASSERT_TRUE(gateway->started()) << gateway->output();
  sim::Rng rng(9);
  const sim::DeviceState device = sim::MakeDevice(rng, 0);
  DeviceSocket socket(gateway->udpPort());
  const sim::Bytes hello = sim::ConfigPacket(device, sim::code::kConfiguration);
  ASSERT_EQ(Checked(hello, socket.Exchange(hello)).kind, sim::ReplyKind::kClock);
  const sim::Bytes poll = sim::PollPacket(device);
  EXPECT_EQ(Checked(poll, socket.Exchange(poll)).kind, sim::ReplyKind::kEcho);

  pg_.Stop();
  // Polls need nothing stored: answered all along. A report is not acknowledged until its
  // events are committed.
  EXPECT_EQ(Checked(poll, socket.Exchange(poll)).kind, sim::ReplyKind::kEcho);
  const sim::Bytes report =
      sim::EventPacket(device, {sim::MakeEvent(rng, false, 1), sim::MakeEvent(rng, false, 2)});
  EXPECT_FALSE(socket.Exchange(report, 1500ms)) << "a report was acknowledged with no store";
  EXPECT_EQ(Checked(poll, socket.Exchange(poll)).kind, sim::ReplyKind::kEcho);
  const HttpReply health = gateway->Get("/api/v1/healthz");
  EXPECT_EQ(health.status, 503) << health.body;

  ASSERT_TRUE(pg_.Start()) << Text(dir_.path() / "postgres.log");
  // The device sends its report again until it is answered; the gateway reconnects by itself.
  std::optional<sim::Bytes> reply;
  for (int i = 0; i < 40 && !reply; ++i) {
    reply = socket.Exchange(report, 500ms);
  }
  ASSERT_TRUE(reply) << gateway->output();
  EXPECT_EQ(Checked(report, reply).kind, sim::ReplyKind::kEcho);
  EXPECT_EQ(Checked(report, socket.Exchange(report)).kind, sim::ReplyKind::kEcho);  // stored once
  EXPECT_EQ(AllEvents(*gateway).size(), 2u) << gateway->Get("/api/v1/events").body;
  EXPECT_EQ(gateway->Get("/api/v1/healthz").status, 200) << gateway->Get("/api/v1/healthz").body;
  EXPECT_EQ(gateway->Stop(), 0);
}

}  // namespace
}  // namespace velkor::test
