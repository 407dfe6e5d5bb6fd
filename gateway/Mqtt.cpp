#include "Mqtt.h"

#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "Log.h"
#include "Requests.h"
#include "Store.h"

namespace velkor::gateway {
namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr unsigned kReconnectMinSeconds = 1;
constexpr unsigned kReconnectMaxSeconds = 10;
constexpr std::size_t kEventsInFlight = 200;  // published before their acknowledgements are awaited
constexpr std::size_t kMaxRequest = 64 * 1024;
constexpr std::size_t kMaxRequestId = 64;
constexpr int kQos = 1;
constexpr auto kIdleWait = std::chrono::milliseconds(200);
constexpr std::int64_t kSilenceScanMs = 1000;
// Gateways that share a PostgreSQL store and a topic root: the one holding this advisory lock
// (a session lock, keyed by the root) publishes the events and announces silences; requests
// reach one of them through a shared subscription.
constexpr const char* kTakeLead = "SELECT pg_try_advisory_lock(478102, hashtext(?))";
constexpr const char* kRequestsGroup = "$share/velkor-gateway/";

std::string ReadSecret(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw std::runtime_error("cannot read the MQTT password file " + path);
  }
  std::string text(4097, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  if (text.empty() || text.size() > 4096) {
    throw std::runtime_error("the MQTT password file " + path + " is empty or larger than 4 KiB");
  }
  return text;
}

MqttBridge& Bridge(void* object) {
  return *static_cast<MqttBridge*>(object);
}

}  // namespace

std::optional<MqttAddress> ParseMqttUrl(const std::string& url, std::string& problem) {
  MqttAddress address;
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    address.tls = true;
    address.port = 8883;
    rest = url.substr(8);
  } else {
    problem = "must start with mqtt:// or mqtts://";
    return std::nullopt;
  }
  const std::size_t slash = rest.find('/');
  if (slash == std::string::npos || slash + 1 >= rest.size()) {
    problem = "must name a topic root: mqtt://HOST:PORT/ROOT";
    return std::nullopt;
  }
  address.root = rest.substr(slash + 1);
  while (!address.root.empty() && address.root.back() == '/') {
    address.root.pop_back();
  }
  if (address.root.empty() || address.root.find_first_of("#+") != std::string::npos ||
      address.root.size() > 200) {
    problem = "the topic root must be a plain topic (no # or +, at most 200 characters)";
    return std::nullopt;
  }
  std::string host = rest.substr(0, slash);
  std::string digits;
  if (!host.empty() && host.front() == '[') {  // [IPv6]:PORT
    const std::size_t close = host.find(']');
    if (close == std::string::npos) {
      problem = "an IPv6 address needs its closing bracket";
      return std::nullopt;
    }
    if (close + 1 < host.size()) {
      if (host[close + 1] != ':') {
        problem = "expected :PORT after the address";
        return std::nullopt;
      }
      digits = host.substr(close + 2);
      if (digits.empty()) {
        problem = "the port must be 1..65535";
        return std::nullopt;
      }
    }
    host = host.substr(1, close - 1);
  } else if (const std::size_t colon = host.rfind(':'); colon != std::string::npos) {
    digits = host.substr(colon + 1);
    host = host.substr(0, colon);
    if (digits.empty()) {
      problem = "the port must be 1..65535";
      return std::nullopt;
    }
  }
  if (!digits.empty()) {
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(digits) < 1 || std::stoi(digits) > 65535) {
      problem = "the port must be 1..65535";
      return std::nullopt;
    }
    address.port = std::stoi(digits);
  }
  if (host.empty()) {
    problem = "must name the broker's host";
    return std::nullopt;
  }
  address.host = host;
  return address;
}

MqttBridge::MqttBridge(Hub& hub, const std::string& dbPath, const MqttOptions& options,
                       PublishFunction publish)
    : hub_(hub), options_(options), publish_(publish != nullptr ? publish : &mosquitto_publish) {
  std::string problem;
  const auto address = ParseMqttUrl(options.url, problem);
  if (!address) {
    throw std::runtime_error("--mqtt " + options.url + ": " + problem);
  }
  address_ = *address;
  if (!options_.certFile.empty() != !options_.keyFile.empty()) {
    throw std::runtime_error("--mqtt-cert and --mqtt-key go together");
  }
  if (!address_.tls && (!options_.caFile.empty() || !options_.certFile.empty())) {
    throw std::runtime_error("certificates need an mqtts:// broker");
  }
  takesRequests_ = !options_.user.empty() || !options_.certFile.empty();
  db_ = Database::Open(dbPath);

  mosquitto_lib_init();
  const std::string id = "velkor-gateway-" + std::to_string(getpid());
  client_ = mosquitto_new(id.c_str(), true, this);
  if (client_ == nullptr) {
    throw std::runtime_error("cannot create the MQTT client");
  }
  if (!options_.user.empty()) {
    const std::string password =
        options_.passwordFile.empty() ? "" : ReadSecret(options_.passwordFile);
    mosquitto_username_pw_set(client_, options_.user.c_str(),
                              password.empty() ? nullptr : password.c_str());
  }
  if (address_.tls &&
      mosquitto_tls_set(client_, options_.caFile.empty() ? nullptr : options_.caFile.c_str(),
                        options_.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                        options_.certFile.empty() ? nullptr : options_.certFile.c_str(),
                        options_.keyFile.empty() ? nullptr : options_.keyFile.c_str(),
                        nullptr) != MOSQ_ERR_SUCCESS) {
    throw std::runtime_error("cannot set up TLS for MQTT (certificate or key files?)");
  }
  mosquitto_reconnect_delay_set(client_, kReconnectMinSeconds, kReconnectMaxSeconds, true);
  mosquitto_connect_callback_set(
      client_, [](mosquitto*, void* self, int rc) { Bridge(self).OnConnect(rc); });
  mosquitto_disconnect_callback_set(
      client_, [](mosquitto*, void* self, int) { Bridge(self).OnDisconnect(); });
  mosquitto_publish_callback_set(
      client_, [](mosquitto*, void* self, int mid) { Bridge(self).OnPublish(mid); });
  mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
    Bridge(self).OnMessage(*m);
  });

  // A root used before goes on where the broker left off; a new one starts with what is stored
  // from now on.
  std::lock_guard lock(mutex_);
  cursor_ = LoadMqttCursor(*db_, address_.root).value_or(NewestEvent(*db_));
  queuedUpTo_ = cursor_;
  SaveMqttCursor(*db_, address_.root, cursor_);
}

MqttBridge::~MqttBridge() {
  Stop();
  if (client_ != nullptr) {
    mosquitto_destroy(client_);
  }
  mosquitto_lib_cleanup();
}

void MqttBridge::Start() {
  {
    std::lock_guard lock(hub_.mutex);
    hub_.wantsStatus = true;
  }
  // The connection comes up in the background; an absent broker is retried for ever.
  mosquitto_connect_async(client_, address_.host.c_str(), address_.port, kKeepAliveSeconds);
  mosquitto_loop_start(client_);
  thread_ = std::thread([this] { Run(); });
}

void MqttBridge::Stop() {
  if (!thread_.joinable()) {
    return;
  }
  stop_ = true;
  changed_.notify_all();
  thread_.join();
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, false);  // the disconnection ends the loop: no cancelled thread
}

void MqttBridge::Run() {
  while (!stop_) {
    const std::int64_t now = NowMs();
    bool leading = false;
    try {
      leading = Leading();
      if (leading) {
        PublishEvents();
      }
      PublishStatuses(now, leading);
    } catch (const DatabaseError& error) {
      hub_.metrics.StoreFailed(StoreUser::kMqtt);
      LogError(std::string("mqtt: store: ") + error.what());
    } catch (const std::exception& error) {
      // Nothing may end the bridge's thread (and with it the process): the next round tries
      // again.
      LogError(std::string("mqtt: ") + error.what());
    }
    std::int64_t newest = 0;
    {
      std::lock_guard hubLock(hub_.mutex);
      newest = hub_.lastEventId;
    }
    std::unique_lock lock(mutex_);
    hub_.metrics.SetMqttBacklog(leading ? std::max<std::int64_t>(0, newest - cursor_) : 0);
    bool saved = true;
    if (cursorDirty_) {
      cursorDirty_ = false;
      try {
        // A gateway that lost the lead leaves the cursor to the one that has it.
        if (leading) {
          SaveMqttCursor(*db_, address_.root, cursor_);
        }
      } catch (const DatabaseError&) {
        hub_.metrics.StoreFailed(StoreUser::kMqtt);
        saved = false;  // written after the wait, or with the next acknowledgement
      }
    }
    changed_.wait_for(lock, kIdleWait, [this] { return stop_.load() || cursorDirty_; });
    cursorDirty_ = cursorDirty_ || !saved;
  }
}

bool MqttBridge::Leading() {
  std::lock_guard lock(mutex_);
  if (db_->engine() != Engine::kPostgres) {
    return true;  // the store is this gateway's alone
  }
  if (leadingOn_ != 0 && leadingOn_ == db_->Connections()) {
    return true;
  }
  // Not leading, or the connection that held the lock is gone (and the lock with it).
  leadingOn_ = 0;
  Statement& take = db_->Prepare(kTakeLead);
  take.Bind(address_.root);
  const bool taken = take.Step() && take.Text(0) == "t";
  take.Reset();
  if (taken) {
    // Where the last leader left off; what it had in flight goes out again.
    leadingOn_ = db_->Connections();
    cursor_ = LoadMqttCursor(*db_, address_.root).value_or(cursor_);
    queuedUpTo_ = cursor_;
    inflight_.clear();
  }
  return taken;
}

// Events after the cursor, in id order, a window at a time: the next window goes out once the
// broker has acknowledged the last, so the cursor only ever passes acknowledged events.
void MqttBridge::PublishEvents() {
  std::lock_guard lock(mutex_);
  if (!connected_ || !inflight_.empty()) {
    return;
  }
  Json events = ListEvents(*db_, std::nullopt, cursor_, kEventsInFlight);
  names_.Name(*db_, hub_, events);
  for (const Json& event : events) {
    const std::int64_t id = event["id"].get<std::int64_t>();
    if (!Publish(address_.root + "/events/" + event["device"].get<std::string>(), JsonText(event),
                 false, id)) {
      // The window ends before the event the client did not take: the cursor never passes it,
      // and the next window starts with it.
      break;
    }
    queuedUpTo_ = id;
  }
}

void MqttBridge::PublishStatuses(std::int64_t now, bool leading) {
  // Copies under the hub's lock, JSON after it: the link thread waits on that lock.
  std::vector<std::pair<DeviceSummary, std::string>> changed;
  {
    std::lock_guard lock(hub_.mutex);
    const auto announce = [&](const Device& device, std::string status) {
      changed.emplace_back(Summarize(device), std::move(status));
    };
    while (!hub_.statusChanges.empty()) {
      const auto [serial, status] = hub_.statusChanges.front();
      hub_.statusChanges.pop_front();
      if (const Device* device = hub_.Find(serial)) {
        silent_[serial] = false;
        announce(*device, status);
      }
    }
    if (leading && now - lastScanMs_ >= kSilenceScanMs) {
      lastScanMs_ = now;
      for (const auto& [serial, device] : hub_.devices) {
        const bool silent = now - device.lastSeenMs > options_.silentAfterMs;
        bool& announced = silent_[serial];
        if (silent != announced) {
          announced = silent;
          announce(device, silent ? "silent" : "back");
        }
      }
    }
  }
  std::vector<std::pair<std::string, std::string>> messages;  // topic, payload
  for (const auto& [device, status] : changed) {
    Json body = DeviceJson(device);
    body["status"] = status;
    messages.emplace_back(address_.root + "/devices/" + SerialText(device.registry.serial),
                          JsonText(body));
  }
  // A status waits, in order, until the client takes it: a device first seen before the
  // broker's connection is up, or while it is lost, is announced once it is back.
  std::lock_guard lock(mutex_);
  for (auto& message : messages) {
    if (unsentStatuses_.size() >= Hub::kMaxStatusChanges) {
      unsentStatuses_.pop_front();
    }
    unsentStatuses_.push_back(std::move(message));
  }
  while (connected_ && !unsentStatuses_.empty() &&
         Publish(unsentStatuses_.front().first, unsentStatuses_.front().second, true)) {
    unsentStatuses_.pop_front();
  }
}

bool MqttBridge::Publish(const std::string& topic, const std::string& payload, bool retain,
                         std::int64_t eventId) {
  int mid = 0;
  const int rc = publish_(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), kQos, retain);
  if (rc != MOSQ_ERR_SUCCESS) {
    return false;
  }
  hub_.metrics.MqttPublished(eventId > 0 ? GatewayMetrics::MqttMessage::kEvent
                                         : GatewayMetrics::MqttMessage::kStatus);
  if (eventId > 0) {
    inflight_[mid] = eventId;
  }
  return true;
}

void MqttBridge::OnConnect(int rc) {
  if (rc != 0) {
    LogError(std::string("mqtt: the broker refused the connection: ") +
             mosquitto_connack_string(rc));
    return;
  }
  if (takesRequests_) {
    const std::string requests =
        (db_->engine() == Engine::kPostgres ? kRequestsGroup : "") + address_.root + "/requests/+";
    mosquitto_subscribe(client_, nullptr, requests.c_str(), kQos);
  }
  LogInfo("mqtt: connected to " + address_.host + ":" + std::to_string(address_.port));
  std::lock_guard lock(mutex_);
  connected_ = true;
  hub_.metrics.SetMqttConnected(true);
  {
    std::lock_guard hubLock(hub_.mutex);
    silent_.clear();  // every device's status is announced again on this connection
    lastScanMs_ = 0;
  }
  changed_.notify_all();
}

void MqttBridge::OnDisconnect() {
  std::lock_guard lock(mutex_);
  if (connected_ && !stop_) {
    LogWarning("mqtt: broker lost; events are published from where it left off once it is back");
  }
  connected_ = false;
  hub_.metrics.SetMqttConnected(false);
  // What was not acknowledged goes out again, from the cursor, after the reconnection.
  inflight_.clear();
  queuedUpTo_ = cursor_;
}

void MqttBridge::OnPublish(int mid) {
  std::lock_guard lock(mutex_);
  if (inflight_.erase(mid) > 0 && inflight_.empty() && connected_) {
    cursor_ = queuedUpTo_;
    cursorDirty_ = true;
    changed_.notify_all();
  }
}

void MqttBridge::OnMessage(const mosquitto_message& message) {
  const std::string topic = message.topic != nullptr ? message.topic : "";
  const std::string prefix = address_.root + "/requests/";
  if (topic.rfind(prefix, 0) != 0) {
    return;
  }
  const std::string serialText = topic.substr(prefix.size());
  const std::string replies = address_.root + "/replies/" + serialText.substr(0, 14);
  Json reply;
  const auto serial = ParseSerial(serialText);
  const Json body =
      message.payloadlen > 0 && static_cast<std::size_t>(message.payloadlen) <= kMaxRequest
          ? Json::parse(static_cast<const char*>(message.payload),
                        static_cast<const char*>(message.payload) + message.payloadlen, nullptr,
                        false)
          : Json(Json::value_t::discarded);
  if (!serial) {
    reply = {{"error", "the topic must end in a serial of 14 hex digits"}};
  } else if (body.is_discarded()) {
    reply = {{"error", "the request is not JSON (or is larger than 64 KiB)"}};
  } else if (options_.requestRole < Role::kOperate) {
    reply = {{"error", std::string("requests from the broker have the role ") +
                           RoleName(options_.requestRole) + "; commands need operate"},
             {"status", 403}};
  } else {
    std::lock_guard lock(mutex_);
    try {
      AuditEntry audit;
      audit.actor = "mqtt";
      audit.address = address_.host;
      audit.method = "MQTT";
      audit.route = address_.root + "/requests/{serial}";
      const Queued queued = QueueCommand(hub_, *db_, *serial, body, std::move(audit));
      reply = queued.body;
      reply["status"] = queued.status;
    } catch (const DatabaseError& error) {
      hub_.metrics.StoreFailed(StoreUser::kMqtt);
      reply = {{"error", std::string("store: ") + error.what()}};
    } catch (const std::exception&) {
      // A callback of the client's thread: nothing may leave it.
      reply = {{"error", "internal error"}};
    }
  }
  if (body.is_object()) {
    const auto id = body.find("request_id");
    if (id != body.end() && id->is_string() && id->get<std::string>().size() <= kMaxRequestId) {
      reply["request_id"] = *id;
    }
  }
  const std::string payload = JsonText(reply);
  if (mosquitto_publish(client_, nullptr, replies.c_str(), static_cast<int>(payload.size()),
                        payload.data(), kQos, false) == MOSQ_ERR_SUCCESS) {
    hub_.metrics.MqttPublished(GatewayMetrics::MqttMessage::kReply);
  }
}

}  // namespace velkor::gateway
