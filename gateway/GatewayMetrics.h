// The gateway's metrics, served at GET /metrics: every family with its bounded set of label
// values registered once, so that a scrape shows each series from the start (at 0) and no
// label ever takes a serial, an address or a raw path. The link thread adds a batch's counts
// once per batch; HTTP workers and the MQTT bridge add theirs as they go.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "Metrics.h"

namespace velkor::gateway {

// Why a datagram got no further than the link's checks. Together with the accepted ones they
// make up every datagram received.
enum class DatagramRefusal : std::uint8_t {
  kOversized,    // longer than the link takes
  kMalformed,    // not a packet the library accepts: its seal, its checksum, its layout
  kTruncated,    // accepted, but shorter than what it says it holds
  kPendingFull,  // a new serial while the pending list is full
  kUnadmitted,   // from a device not admitted yet
  kConflict,     // an admitted serial from another address than its pinned one
};
inline constexpr std::size_t kRefusals = 6;

// What a reply carries, by the reply policy's steps.
enum class ReplyKind : std::uint8_t {
  kVoice,
  kTemplate,
  kCommand,
  kClock,
  kList,
  kConfiguration,
  kEcho,
};
inline constexpr std::size_t kReplyKinds = 7;

enum class StoreUser : std::uint8_t {
  kCommit,  // a batch of the link's writes
  kFlush,   // the registry's counters and refusals written in the background
  kApi,     // a request of the API (or an event stream's query)
  kMqtt,    // the MQTT bridge's queries and writes
};
inline constexpr std::size_t kStoreUsers = 4;

// A batch's counts, gathered without any lock and added once.
struct BatchCounts {
  std::uint64_t received = 0, accepted = 0, duplicates = 0, eventsStored = 0, commandsSent = 0;
  std::array<std::uint64_t, kRefusals> refused{};
  std::array<std::uint64_t, kReplyKinds> replies{};
};

class GatewayMetrics {
 public:
  GatewayMetrics();
  GatewayMetrics(const GatewayMetrics&) = delete;
  GatewayMetrics& operator=(const GatewayMetrics&) = delete;

  void AddBatch(const BatchCounts& counts);
  void ObserveBatch(std::size_t datagrams) { batchSize_.Observe(static_cast<double>(datagrams)); }
  void ObserveCommit(double seconds) { commitSeconds_.Observe(seconds); }
  void StoreFailed(StoreUser user) { storeErrors_[static_cast<std::size_t>(user)]->Add(); }
  void CommandQueued() { commandsQueued_.Add(); }
  // ROUTE: the documented template ("/api/v1/devices/{serial}"), or empty for none matched.
  void ObserveRequest(const std::string& method, const std::string& route, int status,
                      double seconds);

  // The MQTT bridge's: what it handed the broker, and its state.
  enum class MqttMessage : std::uint8_t { kEvent, kStatus, kReply };
  void MqttPublished(MqttMessage kind) { mqttPublished_[static_cast<std::size_t>(kind)]->Add(); }
  void SetMqttBacklog(std::int64_t events) { mqttBacklog_.Set(events); }
  void SetMqttConnected(bool connected) { mqttConnected_.Set(connected ? 1 : 0); }

  // Gauges read at scrape time.
  void SetDevices(std::int64_t pending, std::int64_t active, std::int64_t silent);
  void SetStreamClients(std::int64_t clients) { streamClients_.Set(clients); }

  std::string Render() const { return registry_.Render(); }

  static const char* RefusalName(DatagramRefusal reason);
  static const char* ReplyKindName(ReplyKind kind);

 private:
  MetricRegistry registry_;
  Counter& received_;
  Counter& accepted_;
  std::array<Counter*, kRefusals> refused_{};
  std::array<Counter*, kReplyKinds> replies_{};
  Counter& duplicates_;
  Counter& eventsStored_;
  Counter& commandsQueued_;
  Counter& commandsSent_;
  std::array<Counter*, kStoreUsers> storeErrors_{};
  MetricRegistry::CounterFamily& requests_;
  MetricRegistry::HistogramFamily& requestSeconds_;
  std::array<Counter*, 3> mqttPublished_{};
  Gauge& mqttBacklog_;
  Gauge& mqttConnected_;
  Gauge &pending_, &active_, &silent_;
  Gauge& streamClients_;
  Histogram& batchSize_;
  Histogram& commitSeconds_;
};

}  // namespace velkor::gateway
