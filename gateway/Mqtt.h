// The gateway on an MQTT broker (libmosquitto): every stored event is published at QoS 1 as the
// JSON the REST API gives, on ROOT/events/SERIAL, in id order; device status changes (first seen,
// address changed, silent, back) are published retained on ROOT/devices/SERIAL; commands may
// arrive on ROOT/requests/SERIAL and are answered on ROOT/replies/SERIAL. The bridge has its own
// thread and store connection: a broker that goes away stops neither the link nor the store,
// and what was stored meanwhile is published, in order, when it returns.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "Database.h"
#include "EventNames.h"
#include "Roles.h"
#include "State.h"

struct mosquitto;
struct mosquitto_message;

namespace velkor::gateway {

struct MqttOptions {
  std::string url;           // mqtt://HOST:PORT/ROOT or mqtts://HOST:PORT/ROOT
  std::string user;          // with a password: the broker's username
  std::string passwordFile;  // the password, in a file of its own
  std::string caFile;        // mqtts: the CA that signed the broker's certificate
  std::string certFile;      // mqtts: a client certificate and its key
  std::string keyFile;
  std::int64_t silentAfterMs = 5 * 60 * 1000;
  // What requests from the broker may do: the broker's users are trusted with this role.
  Role requestRole = Role::kOperate;
};

struct MqttAddress {
  bool tls = false;
  std::string host;
  int port = 1883;
  std::string root;
};

// Parses the --mqtt URL; nullopt with `problem` set when malformed.
std::optional<MqttAddress> ParseMqttUrl(const std::string& url, std::string& problem);

class MqttBridge {
 public:
  // mosquitto_publish's signature: the bridge publishes through it (tests hand it a client
  // that refuses some messages).
  using PublishFunction = int (*)(mosquitto*, int*, const char*, int, const void*, int, bool);

  // Checks the options (throws std::runtime_error with a message) and opens its store
  // connection; connecting happens in the background.
  MqttBridge(Hub& hub, const std::string& dbPath, const MqttOptions& options,
             PublishFunction publish = nullptr);
  ~MqttBridge();
  MqttBridge(const MqttBridge&) = delete;
  MqttBridge& operator=(const MqttBridge&) = delete;

  void Start();
  void Stop();

  // Commands are taken from ROOT/requests/# only when the broker knows who we are: a username
  // and password, or a client certificate.
  bool TakesRequests() const { return takesRequests_; }

 private:
  void Run();
  void PublishEvents();
  // Whether this gateway publishes the root's events: always on SQLite; on a shared PostgreSQL
  // store, while it holds the root's lock.
  bool Leading();
  void PublishStatuses(std::int64_t now, bool leading);
  // False when the client did not take the message (it is not in flight then).
  bool Publish(const std::string& topic, const std::string& payload, bool retain,
               std::int64_t eventId = 0);
  void OnConnect(int rc);
  void OnDisconnect();
  void OnPublish(int mid);
  void OnMessage(const mosquitto_message& message);

  Hub& hub_;
  MqttOptions options_;
  MqttAddress address_;
  bool takesRequests_ = false;
  std::unique_ptr<Database> db_;
  EventNames names_;  // under mutex_
  mosquitto* client_ = nullptr;
  PublishFunction publish_;
  std::thread thread_;
  std::atomic<bool> stop_{false};

  std::mutex mutex_;  // what follows, and db_
  std::condition_variable changed_;
  bool connected_ = false;
  std::map<int, std::int64_t> inflight_;  // message id -> event id
  std::int64_t cursor_ = 0;               // the newest event the broker has acknowledged
  std::int64_t queuedUpTo_ = 0;           // the newest event handed to the client
  bool cursorDirty_ = false;
  std::map<std::uint64_t, bool> silent_;  // devices announced silent
  // Statuses (topic, payload) the client has not taken yet, oldest first, bounded as the hub's.
  std::deque<std::pair<std::string, std::string>> unsentStatuses_;
  std::int64_t lastScanMs_ = 0;
  std::uint64_t leadingOn_ = 0;  // the store connection that holds the root's lock, 0: none
};

}  // namespace velkor::gateway
