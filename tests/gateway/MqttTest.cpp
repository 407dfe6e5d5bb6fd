// The gateway on a real mosquitto broker that the test starts itself on loopback: stored events
// and device statuses reach a subscriber, commands arrive as requests, and a broker that stops
// and comes back in the middle of a run neither stops the link nor loses an event.
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include "Mqtt.h"
#include "ScratchPostgres.h"
#include "ServiceSupport.h"
#include "Store.h"

namespace velkor::test {
namespace {

constexpr const char* kUser = "gateway";
constexpr const char* kPassword = "broker-secret";
constexpr const char* kRoot = "site1";

std::uint16_t FreeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

bool Accepts(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// mosquitto on 127.0.0.1 with a password file and, for the restart test, persistence in the
// scratch folder. Started as root it drops to the mosquitto user, so its files are made readable
// to it.
class Broker {
 public:
  explicit Broker(const std::filesystem::path& dir) : dir_(dir / "broker"), port_(FreeTcpPort()) {
    std::filesystem::create_directories(dir_ / "data");
    chmod(dir.c_str(), 0755);
    chmod(dir_.c_str(), 0755);
    chmod((dir_ / "data").c_str(), 0777);
    const std::string passwords = (dir_ / "passwords").string();
    const std::string command =
        "mosquitto_passwd -b -c " + passwords + " " + kUser + " " + kPassword + " >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
    chmod(passwords.c_str(), 0644);
    if (geteuid() == 0) {
      if (const passwd* user = getpwnam("mosquitto")) {
        EXPECT_EQ(chown((dir_ / "data").c_str(), user->pw_uid, user->pw_gid), 0);
        EXPECT_EQ(chown(passwords.c_str(), user->pw_uid, user->pw_gid), 0);
      }
    }
    passwords_ = passwords;
    // A port found free may be taken by another test's server before the broker binds it: then
    // mosquitto exits, and another port is tried.
    for (int attempt = 0; attempt < 5 && !Start(); ++attempt) {
      port_ = FreeTcpPort();
    }
  }
  ~Broker() { Stop(); }

  // Starts mosquitto on port_; true once it is alive and listening there.
  bool Start() {
    std::ofstream(dir_ / "mosquitto.conf")
        << "listener " << port_ << " 127.0.0.1\nallow_anonymous false\npassword_file " << passwords_
        << "\npersistence true\npersistence_location " << (dir_ / "data").string()
        << "/\nautosave_interval 1\n";
    pid_ = fork();
    if (pid_ == 0) {
      const std::string log = (dir_ / "broker.log").string();
      if (freopen(log.c_str(), "a", stdout) == nullptr ||
          freopen(log.c_str(), "a", stderr) == nullptr) {
        _exit(126);
      }
      const std::string config = (dir_ / "mosquitto.conf").string();
      execlp("mosquitto", "mosquitto", "-c", config.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 250; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;  // it could not bind, say
      }
      if (Accepts(port_)) {
        std::this_thread::sleep_for(100ms);  // still alive once listening: the port is its own
        if (waitpid(pid_, &status, WNOHANG) != pid_) {
          return true;
        }
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
      pid_ = -1;
    }
  }

  bool running() const { return pid_ > 0; }
  std::uint16_t port() const { return port_; }
  std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_) + "/" + kRoot; }

 private:
  std::filesystem::path dir_;
  std::uint16_t port_;
  std::string passwords_;
  pid_t pid_ = -1;
};

// A subscriber to ROOT/#, with a session the broker keeps (QoS 1, not clean), so that what is
// published while it is away reaches it when it is back.
class Subscriber {
 public:
  explicit Subscriber(std::uint16_t port) {
    mosquitto_lib_init();
    client_ = mosquitto_new("velkor-test-subscriber", false, this);
    mosquitto_username_pw_set(client_, kUser, kPassword);
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    mosquitto_connect_callback_set(client_, [](mosquitto* m, void*, int rc) {
      if (rc == 0) {
        mosquitto_subscribe(m, nullptr, (std::string(kRoot) + "/#").c_str(), 1);
      }
    });
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
      auto& me = *static_cast<Subscriber*>(self);
      std::lock_guard lock(me.mutex_);
      me.messages_.emplace_back(m->topic, std::string(static_cast<const char*>(m->payload),
                                                      static_cast<std::size_t>(m->payloadlen)));
    });
    mosquitto_connect(client_, "127.0.0.1", port, 30);
    mosquitto_loop_start(client_);
  }
  ~Subscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);  // the disconnection ends the loop: no cancelled thread
    mosquitto_destroy(client_);
  }

  std::vector<std::pair<std::string, std::string>> Messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

  // Event payloads by id (a QoS 1 message may come twice).
  std::map<std::int64_t, Json> Events() {
    std::map<std::int64_t, Json> events;
    for (const auto& [topic, payload] : Messages()) {
      if (topic.find("/events/") != std::string::npos) {
        const Json event = Json::parse(payload);
        EXPECT_EQ(topic, std::string(kRoot) + "/events/" + event["device"].get<std::string>());
        events[event["id"].get<std::int64_t>()] = event;
      }
    }
    return events;
  }

  void Publish(const std::string& topic, const std::string& payload) {
    mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 1, false);
  }

 private:
  mosquitto* client_ = nullptr;
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> messages_;
};

class MqttTest : public ::testing::Test {
 protected:
  void SetUp() override {
    broker_ = std::make_unique<Broker>(dir_.path());
    ASSERT_TRUE(broker_->running()) << "mosquitto did not start";
    subscriber_ = std::make_unique<Subscriber>(broker_->port());
    std::ofstream(dir_.path() / "mqtt-password") << kPassword << "\n";
    chmod((dir_.path() / "mqtt-password").c_str(), 0600);
    gateway_ = std::make_unique<GatewayProcess>(
        dir_.path(),
        std::vector<std::string>{"--admit", "any", "--mqtt", broker_->Url(), "--mqtt-user", kUser,
                                 "--mqtt-password-file", (dir_.path() / "mqtt-password").string(),
                                 "--silent-after", "2"});
    ASSERT_TRUE(gateway_->started()) << gateway_->output();
  }

  // Waits (bounded) until the subscriber holds every stored event; returns the stored ones.
  Json AwaitEvents(std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    Json stored = AllEvents(*gateway_);
    while (std::chrono::steady_clock::now() < until &&
           subscriber_->Events().size() < stored.size()) {
      std::this_thread::sleep_for(100ms);
      stored = AllEvents(*gateway_);
    }
    return stored;
  }

  std::vector<std::string> Sim(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(gateway_->udpPort()), "--quiet"});
    return args;
  }

  ScratchDir dir_;
  std::unique_ptr<Broker> broker_;
  std::unique_ptr<Subscriber> subscriber_;
  std::unique_ptr<GatewayProcess> gateway_;
};

// A client that refuses the second event and the first status it is handed, once each, as
// when the connection is not up yet.
std::atomic<int> eventsHanded{0}, statusesHanded{0};
int RefuseSecondEventFirstStatus(mosquitto* client, int* mid, const char* topic, int length,
                                 const void* payload, int qos, bool retain) {
  if (std::strstr(topic, "/events/") != nullptr && ++eventsHanded == 2) {
    return MOSQ_ERR_NOMEM;
  }
  if (std::strstr(topic, "/devices/") != nullptr && ++statusesHanded == 1) {
    return MOSQ_ERR_NO_CONN;
  }
  return mosquitto_publish(client, mid, topic, length, payload, qos, retain);
}

TEST(MqttBridgeTest, WhatTheClientRefusedIsPublishedLaterNotSkipped) {
  ScratchDir dir;
  Broker broker(dir.path());
  ASSERT_TRUE(broker.running()) << "mosquitto did not start";
  Subscriber subscriber(broker.port());
  const std::string store = (dir.path() / "velkor.db").string();
  std::ofstream(dir.path() / "mqtt-password") << kPassword << "\n";
  chmod((dir.path() / "mqtt-password").c_str(), 0600);

  gateway::Hub hub;
  auto db = gateway::Database::Open(store);
  gateway::Migrate(*db);
  gateway::MqttOptions options;
  options.url = broker.Url();
  options.user = kUser;
  options.passwordFile = (dir.path() / "mqtt-password").string();
  gateway::MqttBridge bridge(hub, store, options, RefuseSecondEventFirstStatus);
  bridge.Start();
  {
    std::lock_guard lock(hub.mutex);
    hub.devices[0x12345678].serial = 0x12345678;
    hub.NoteStatus(0x12345678, "first_seen");
  }
  {
    gateway::Transaction transaction(*db);
    gateway::EventRows rows;
    const std::uint8_t raw[16] = {};
    for (int i = 0; i < 5; ++i) {
      rows.Add(*db, 0x12345678, gateway::NowMs(), EventRecord{}, raw);
    }
    rows.Flush(*db);
    transaction.Commit();
  }
  const auto until = std::chrono::steady_clock::now() + 10s;
  const auto firstSeen = [&] {
    for (const auto& [topic, payload] : subscriber.Messages()) {
      if (topic.find("/devices/") != std::string::npos &&
          Json::parse(payload)["status"] == "first_seen") {
        return true;
      }
    }
    return false;
  };
  while (std::chrono::steady_clock::now() < until &&
         (subscriber.Events().size() < 5 || !firstSeen())) {
    std::this_thread::sleep_for(100ms);
  }
  bridge.Stop();
  std::vector<std::int64_t> ids;
  for (const auto& [id, _] : subscriber.Events()) {
    ids.push_back(id);
  }
  EXPECT_EQ(ids, (std::vector<std::int64_t>{1, 2, 3, 4, 5}));
  EXPECT_TRUE(firstSeen()) << "a status the client did not take waits for the next round";
}

TEST_F(MqttTest, EventsStatusesAndRequestsGoThroughTheBroker) {
  const auto log = dir_.path() / "sim.log";
  ASSERT_EQ(
      RunTool("velkor-sim", Sim({"--devices", "4", "--rounds", "2", "--seed", "5"}), log, 60s), 0);
  const Json stored = AwaitEvents(10s);
  ASSERT_GT(stored.size(), 10u);
  const std::map<std::int64_t, Json> published = subscriber_->Events();
  ASSERT_EQ(published.size(), stored.size());
  for (const Json& event : stored) {
    EXPECT_EQ(published.at(event["id"].get<std::int64_t>()), event);  // the REST API's JSON
  }

  // Every device was announced, retained, with its state.
  std::map<std::string, Json> statuses;  // the first_seen announcement of each device
  for (const auto& [topic, payload] : subscriber_->Messages()) {
    const Json status = Json::parse(payload);
    if (topic.find("/devices/") != std::string::npos && status["status"] == "first_seen") {
      statuses[topic] = status;
    }
  }
  const Json devices = gateway_->Get("/api/v1/devices").json["devices"];
  ASSERT_EQ(devices.size(), 4u);
  for (const Json& device : devices) {
    const std::string topic =
        std::string(kRoot) + "/devices/" + device["serial"].get<std::string>();
    ASSERT_TRUE(statuses.count(topic)) << topic;
    EXPECT_EQ(statuses[topic]["serial"], device["serial"]);
  }

  // Devices that stop talking are announced silent after --silent-after.
  std::size_t silent = 0;
  for (int i = 0; i < 100 && silent < devices.size(); ++i) {
    std::this_thread::sleep_for(100ms);
    silent = 0;
    for (const auto& [topic, payload] : subscriber_->Messages()) {
      silent +=
          topic.find("/devices/") != std::string::npos && Json::parse(payload)["status"] == "silent"
              ? 1
              : 0;
    }
  }
  std::string seen;
  for (const auto& [topic, payload] : subscriber_->Messages()) {
    if (topic.find("/devices/") != std::string::npos) {
      seen += topic + " " + Json::parse(payload)["status"].get<std::string>() + "\n";
    }
  }
  EXPECT_EQ(silent, devices.size()) << seen;

  // A command by MQTT, answered on the replies topic and queued as by REST.
  const std::string serial = devices[0]["serial"].get<std::string>();
  subscriber_->Publish(std::string(kRoot) + "/requests/" + serial,
                       R"({"command": "control", "code": 2, "request_id": "door-1"})");
  subscriber_->Publish(std::string(kRoot) + "/requests/" + serial, R"({"command": "fly"})");
  subscriber_->Publish(std::string(kRoot) + "/requests/00000000000001", R"({"command": "read"})");
  std::vector<Json> replies;
  for (int i = 0; i < 100 && replies.size() < 3; ++i) {
    std::this_thread::sleep_for(50ms);
    replies.clear();
    for (const auto& [topic, payload] : subscriber_->Messages()) {
      if (topic.find("/replies/") != std::string::npos) {
        replies.push_back(Json::parse(payload));
      }
    }
  }
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0]["state"], "queued");
  EXPECT_EQ(replies[0]["request_id"], "door-1");
  EXPECT_TRUE(replies[1]["error"].is_string());
  EXPECT_EQ(replies[2]["status"], 404);
  const Json commands = gateway_->Get("/api/v1/devices/" + serial + "/commands").json["commands"];
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0]["body"]["code"], 2);
  // The accepted one is in the audit trail, as the broker's; the refused ones are not.
  const Json audit = gateway_->Get("/api/v1/audit").json["entries"];
  ASSERT_EQ(audit.size(), 1u) << audit.dump();
  EXPECT_EQ(audit[0]["actor"], "mqtt");
  EXPECT_EQ(audit[0]["method"], "MQTT");
  EXPECT_EQ(audit[0]["device"], serial);
  EXPECT_EQ(audit[0]["detail"]["command_id"], commands[0]["id"]);
}

TEST_F(MqttTest, ABrokerThatStopsAndComesBackLosesNothing) {
  const auto log = dir_.path() / "sim.log";
  const pid_t sim = StartTool(
      "velkor-sim", Sim({"--devices", "4", "--rounds", "40", "--seed", "9", "--interval-ms", "2"}),
      log);
  std::this_thread::sleep_for(800ms);
  broker_->Stop();
  std::this_thread::sleep_for(1500ms);  // the devices go on meanwhile
  EXPECT_TRUE(broker_->Start()) << "mosquitto did not start again on its port";
  // The link never stopped: every reply verified.
  EXPECT_EQ(WaitTool(sim, 120s), 0);
  const Json stored = AwaitEvents(30s);
  ASSERT_GT(stored.size(), 100u);
  const std::map<std::int64_t, Json> published = subscriber_->Events();
  std::size_t missing = 0;
  for (const Json& event : stored) {
    missing += published.count(event["id"].get<std::int64_t>()) == 0 ? 1 : 0;
  }
  EXPECT_EQ(missing, 0u) << "of " << stored.size() << " stored events";
}

// Two gateways on one PostgreSQL store and one topic root: each stored event is published once,
// by the gateway that leads the root; when it is killed the other takes over where the broker's
// acknowledgements left off; a request reaches one gateway only.
TEST_F(MqttTest, GatewaysSharingAStorePublishEachEventOnceAndTakeOverFromOneKilled) {
  ASSERT_EQ(gateway_->Stop(), 0);  // the fixture's own gateway would answer requests too
  ScratchPostgres pg(dir_.path());
  ASSERT_FALSE(pg.url().empty());
  std::vector<std::unique_ptr<GatewayProcess>> gateways;
  for (const char* name : {"a", "b"}) {
    std::filesystem::create_directories(dir_.path() / name);
    gateways.push_back(std::make_unique<GatewayProcess>(
        dir_.path() / name,
        std::vector<std::string>{"--db", pg.url(), "--admit", "any", "--mqtt", broker_->Url(),
                                 "--mqtt-user", kUser, "--mqtt-password-file",
                                 (dir_.path() / "mqtt-password").string()}));
    ASSERT_TRUE(gateways.back()->started()) << gateways.back()->output();
  }
  const auto run = [&](GatewayProcess& gateway, const char* seed) {
    return RunTool("velkor-sim",
                   {"--port", std::to_string(gateway.udpPort()), "--quiet", "--devices", "4",
                    "--rounds", "2", "--seed", seed},
                   dir_.path() / "sim.log", 60s);
  };
  ASSERT_EQ(run(*gateways[0], "5"), 0);
  ASSERT_EQ(run(*gateways[1], "6"), 0);
  // The leader may be either; it is killed, and the other goes on alone.
  gateways[0]->Kill();
  ASSERT_EQ(run(*gateways[1], "7"), 0);

  const auto published = [&] {
    std::map<std::int64_t, int> times;
    for (const auto& [topic, payload] : subscriber_->Messages()) {
      if (topic.find("/events/") != std::string::npos) {
        ++times[Json::parse(payload)["id"].get<std::int64_t>()];
      }
    }
    return times;
  };
  Json stored = AllEvents(*gateways[1]);
  for (int i = 0; i < 200 && published().size() < stored.size(); ++i) {
    std::this_thread::sleep_for(100ms);
    stored = AllEvents(*gateways[1]);
  }
  ASSERT_GT(stored.size(), 30u);
  const std::map<std::int64_t, int> times = published();
  EXPECT_EQ(times.size(), stored.size());
  for (const Json& event : stored) {
    const auto id = event["id"].get<std::int64_t>();
    EXPECT_TRUE(times.count(id)) << "not published: " << id;
  }
  // Once each, but for what the killed leader had in flight, which its successor sends again.
  std::size_t twice = 0;
  for (const auto& [id, count] : times) {
    twice += count > 1 ? 1 : 0;
  }
  EXPECT_LE(twice, 200u);

  std::filesystem::create_directories(dir_.path() / "c");
  GatewayProcess again(dir_.path() / "c",
                       {"--db", pg.url(), "--admit", "any", "--mqtt", broker_->Url(), "--mqtt-user",
                        kUser, "--mqtt-password-file", (dir_.path() / "mqtt-password").string()});
  ASSERT_TRUE(again.started()) << again.output();
  std::this_thread::sleep_for(1s);  // both subscribed
  const std::string serial = stored[0]["device"].get<std::string>();
  subscriber_->Publish(std::string(kRoot) + "/requests/" + serial,
                       R"({"command": "control", "code": 2, "request_id": "once"})");
  std::size_t replies = 0;
  for (int i = 0; i < 40; ++i) {
    std::this_thread::sleep_for(50ms);
    replies = 0;
    for (const auto& [topic, payload] : subscriber_->Messages()) {
      replies += topic.find("/replies/") != std::string::npos ? 1 : 0;
    }
  }
  EXPECT_EQ(replies, 1u);
  EXPECT_EQ(again.Get("/api/v1/devices/" + serial + "/commands").json["commands"].size(), 1u);
}

}  // namespace
}  // namespace velkor::test
