// The link thread's work: every datagram through PreparePackage, what it holds into the
// registry and the store, and exactly one reply chosen by the reply policy. Every library call
// of the process happens here, on one thread. A batch's writes are committed together before
// any of its replies leaves, so an event is stored before its report is acknowledged.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Database.h"
#include "Link.h"
#include "Log.h"
#include "State.h"
#include "Store.h"

namespace velkor::gateway {

struct PolicyOptions {
  Admit admit = Admit::kKnown;
  std::int64_t clockEveryMs = 24LL * 3600 * 1000;  // 0: on first contact only
};

// A report sent again byte for byte within this window is answered, but not stored again.
inline constexpr std::int64_t kDuplicateWindowMs = 60 * 1000;

class Gateway final : public BatchHandler {
 public:
  // Loads the state from the store into `hub`.
  Gateway(Hub& hub, Database& db, const PolicyOptions& options);

  void Handle(std::span<Datagram> batch) override;
  void Tick() override;

  // Writes what is not yet stored (registry counters, refusals); called at shutdown too.
  void Flush();

 private:
  struct Undo;
  // Address conflicts and new devices are logged, each at a bounded rate.
  LogLimiter conflictLines_;
  LogLimiter newDeviceLines_;
  // A write of one datagram's; false when the datagram's reply must not go (a command that
  // another gateway sent first).
  using Write = std::function<bool(Database&)>;

  void Work(std::span<Datagram> batch);
  // One datagram, under the hub's lock. Returns the reply length (0: none).
  std::int32_t Answer(Datagram& d, std::int64_t now, const std::string& at,
                      std::vector<Write>& writes, Undo& undo);
  bool TakeEvents(Device& device, std::uint8_t* packet, std::uint32_t length,
                  const std::vector<std::uint8_t>& raw, std::int64_t now,
                  std::vector<Write>& writes, Undo& undo);
  std::int32_t Reply(Device& device, std::int32_t code, Datagram& d,
                     const std::vector<std::uint8_t>& raw, std::int64_t now, const std::string& at,
                     std::vector<Write>& writes, Undo& undo);
  std::int32_t ReplyVoice(Device& device, Datagram& d);
  std::int32_t ReplyTemplate(Device& device, std::uint8_t* packet);
  // A list report: the wanted list when the report differs from it, else 0 (no list reply).
  std::int32_t ReplyList(Device& device, ListKind kind, std::uint8_t* packet, std::uint32_t length,
                         const std::string& at, std::vector<Write>& writes, Undo& undo);
  void Refuse(const sockaddr_storage& from, DatagramRefusal reason);
  struct Recent {
    std::int64_t ms = 0;
    bool committed = false;  // its events are stored: a copy sent again is answered at once
  };
  const Recent* SeenRecently(const std::string& key, std::int64_t now);
  void TakeTemplates(const Undo& undo);

  Hub& hub_;
  Database& db_;
  PolicyOptions options_;
  // Event reports of the last minute, by device serial and digest of the datagram.
  std::unordered_map<std::string, Recent> recent_;
  std::deque<std::pair<std::string, std::int64_t>> recentOrder_;
  std::int64_t lastFlushMs_ = 0;
  std::vector<std::string> dirtyRefusals_;
  EventRows eventRows_;              // the batch's events
  std::uint64_t eventsWritten_ = 0;  // of them, those not stored before
  // The batch's metrics, added once it is done; what the reply of the datagram in hand carries.
  BatchCounts counts_;
  std::vector<ReplyKind> replyKinds_;
  ReplyKind replyKind_ = ReplyKind::kEcho;
};

// The list as a device reads it back after it travelled: the records go through the Send and
// Get functions of their kind. JSON text, for comparison with what a device reports.
std::string ReadBack(ListKind kind, const Json& body);

// The records a device's list report holds, as JSON (the same form as ReadBack).
std::string ReportedList(ListKind kind, const std::uint8_t* packet, std::uint32_t length);

// The reply the link sends when it only echoes: PreparePackage, then SendDeviceEcho to an
// accepted packet; nothing is stored. The floor the gateway is measured against.
class EchoOnly final : public BatchHandler {
 public:
  void Handle(std::span<Datagram> batch) override;
};

}  // namespace velkor::gateway
