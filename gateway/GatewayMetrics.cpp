#include "GatewayMetrics.h"

#include <initializer_list>

namespace velkor::gateway {
namespace {

// API latency: a millisecond to ten seconds (a store that stalls), in seconds.
const std::vector<double> kRequestBounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                            0.25,  0.5,    1,     2.5,  5,     10};
// A batch commit: a tenth of a millisecond (SQLite, a few rows) to ten seconds.
const std::vector<double> kCommitBounds = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                           0.01,   0.025,   0.05,   0.1,   0.25,   0.5,
                                           1,      2.5,     5,      10};

constexpr const char* kStoreUserNames[kStoreUsers] = {"commit", "flush", "api", "mqtt"};
constexpr const char* kMqttMessageNames[] = {"event", "status", "reply"};

// One counter per value of `label`, in the enumeration's order.
template <std::size_t N, typename Name>
std::array<Counter*, N> Each(MetricRegistry& registry, const std::string& name,
                             const std::string& help, const std::string& label, Name nameOf) {
  std::array<Counter*, N> counters{};
  for (std::size_t i = 0; i < N; ++i) {
    counters[i] = &registry.AddCounter(name, help, {{label, nameOf(i)}});
  }
  return counters;
}

// The request's method when it is one the API serves, else "other": the label stays bounded
// whatever a client sends.
std::string MethodLabel(const std::string& method) {
  for (const char* known : {"GET", "HEAD", "POST", "PUT", "DELETE", "PATCH", "OPTIONS"}) {
    if (method == known) {
      return method;
    }
  }
  return "other";
}

}  // namespace

const char* GatewayMetrics::RefusalName(DatagramRefusal reason) {
  static constexpr const char* kNames[kRefusals] = {"oversized",    "malformed",  "truncated",
                                                    "pending_full", "unadmitted", "conflict"};
  return kNames[static_cast<std::size_t>(reason)];
}

const char* GatewayMetrics::ReplyKindName(ReplyKind kind) {
  static constexpr const char* kNames[kReplyKinds] = {"voice", "template",      "command", "clock",
                                                      "list",  "configuration", "echo"};
  return kNames[static_cast<std::size_t>(kind)];
}

GatewayMetrics::GatewayMetrics()
    : received_(registry_.AddCounter("velkor_datagrams_received_total",
                                     "Datagrams the link took from its socket.")),
      accepted_(registry_.AddCounter(
          "velkor_datagrams_accepted_total",
          "Datagrams that passed the link's checks and went to the reply policy.")),
      refused_(Each<kRefusals>(
          registry_, "velkor_datagrams_refused_total",
          "Datagrams refused, by reason; with the accepted ones, every datagram received.",
          "reason", [](std::size_t i) { return RefusalName(static_cast<DatagramRefusal>(i)); })),
      replies_(Each<kReplyKinds>(
          registry_, "velkor_replies_total",
          "Replies sent to devices, by what they carry (sent after their batch's commit).", "kind",
          [](std::size_t i) { return ReplyKindName(static_cast<ReplyKind>(i)); })),
      duplicates_(registry_.AddCounter(
          "velkor_event_reports_duplicate_total",
          "Event reports sent again within a minute: answered again, not stored again.")),
      eventsStored_(registry_.AddCounter("velkor_events_stored_total",
                                         "Event records committed to the store.")),
      commandsQueued_(registry_.AddCounter("velkor_commands_total",
                                           "Device commands, by the state they reached.",
                                           {{"state", "queued"}})),
      commandsSent_(registry_.AddCounter("velkor_commands_total",
                                         "Device commands, by the state they reached.",
                                         {{"state", "sent"}})),
      storeErrors_(Each<kStoreUsers>(registry_, "velkor_store_errors_total",
                                     "Store operations that failed, by who asked.", "source",
                                     [](std::size_t i) { return kStoreUserNames[i]; })),
      requests_(registry_.AddCounterFamily(
          "velkor_http_requests_total",
          "API requests answered, by method, documented route (\"other\": none matched) and "
          "status code.")),
      requestSeconds_(registry_.AddHistogramFamily(
          "velkor_http_request_duration_seconds",
          "Time to answer an API request (an event stream: until it starts), by route.",
          kRequestBounds)),
      mqttPublished_(Each<3>(registry_, "velkor_mqtt_messages_published_total",
                             "Messages handed to the MQTT client, by kind.", "kind",
                             [](std::size_t i) { return kMqttMessageNames[i]; })),
      mqttBacklog_(registry_.AddGauge("velkor_mqtt_backlog_events",
                                      "Stored events the broker has not acknowledged yet (by "
                                      "event id; 0 without MQTT or while another gateway "
                                      "publishes).")),
      mqttConnected_(registry_.AddGauge("velkor_mqtt_connected",
                                        "1 while the MQTT bridge is connected to its broker.")),
      pending_(registry_.AddGauge("velkor_devices", "Devices in the registry, by state.",
                                  {{"state", "pending"}})),
      active_(registry_.AddGauge("velkor_devices", "Devices in the registry, by state.",
                                 {{"state", "active"}})),
      silent_(registry_.AddGauge("velkor_devices", "Devices in the registry, by state.",
                                 {{"state", "silent"}})),
      streamClients_(registry_.AddGauge("velkor_event_stream_clients",
                                        "Event streams (server-sent events) open now.")),
      batchSize_(registry_.AddHistogram("velkor_link_batch_datagrams",
                                        "Datagrams the link took and worked through together.",
                                        ExponentialBuckets(1, 2, 12))),
      commitSeconds_(registry_.AddHistogram(
          "velkor_store_commit_duration_seconds",
          "Time to commit one batch's writes to the store (failed attempts too).", kCommitBounds)) {
}

void GatewayMetrics::AddBatch(const BatchCounts& counts) {
  received_.Add(counts.received);
  accepted_.Add(counts.accepted);
  duplicates_.Add(counts.duplicates);
  eventsStored_.Add(counts.eventsStored);
  commandsSent_.Add(counts.commandsSent);
  for (std::size_t i = 0; i < kRefusals; ++i) {
    refused_[i]->Add(counts.refused[i]);
  }
  for (std::size_t i = 0; i < kReplyKinds; ++i) {
    replies_[i]->Add(counts.replies[i]);
  }
}

void GatewayMetrics::ObserveRequest(const std::string& method, const std::string& route, int status,
                                    double seconds) {
  const std::string routeLabel = route.empty() ? "other" : route;
  const std::string code = status >= 100 && status <= 599 ? std::to_string(status) : "other";
  requests_.With({{"method", MethodLabel(method)}, {"route", routeLabel}, {"code", code}}).Add();
  requestSeconds_.With({{"route", routeLabel}}).Observe(seconds);
}

void GatewayMetrics::SetDevices(std::int64_t pending, std::int64_t active, std::int64_t silent) {
  pending_.Set(pending);
  active_.Set(active);
  silent_.Set(silent);
}

}  // namespace velkor::gateway
