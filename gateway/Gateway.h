// The link thread's work: every datagram through PreparePackage, what it holds into the
// registry and the store, and exactly one reply chosen by the reply policy. Every library call
// of the process happens here, on one thread. A reply that waits for a write leaves only once
// that write is committed, so an event is stored before its report is acknowledged.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
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
  // Loads the state from the store into `hub`. Until StartPipeline, Handle commits a batch's
  // writes itself and leaves every reply in the batch.
  Gateway(Hub& hub, Database& db, const PolicyOptions& options);
  ~Gateway() override;

  // From now on a store thread of the gateway's own commits the writes, and sends the replies
  // that wait for them through `send` once their commit is done (in groups: whatever batches
  // have queued when the thread is free go in one transaction). The link thread goes on with the
  // next batch meanwhile; replies that wait on no write leave with their batch at once.
  using ReplySender = std::function<void(std::span<Datagram>)>;
  void StartPipeline(ReplySender send);

  void Handle(std::span<Datagram> batch) override;
  void Tick() override;

  // Writes what is not yet stored (registry counters, refusals) and, with the pipeline, waits
  // for every batch handed to it to be committed and answered, then stops its thread; called at
  // shutdown.
  void Flush();

 private:
  struct Undo;
  struct Pending;
  // Address conflicts and new devices are logged, each at a bounded rate.
  LogLimiter conflictLines_;
  LogLimiter newDeviceLines_;
  // A write of one datagram's; false when the datagram's reply must not go (a command that
  // another gateway sent first). Rare writes only: event reports go as rows of the Pending.
  using Write = std::function<bool(Database&)>;

  // Link thread, under the hub's lock.
  std::int32_t Answer(Datagram& d, std::int64_t now, const std::string& at, Pending& p);
  bool TakeEvents(Device& device, std::uint8_t* packet, std::uint32_t length, std::int64_t now,
                  Pending& p);
  std::int32_t Reply(Device& device, std::int32_t code, Datagram& d, std::int64_t now,
                     const std::string& at, Pending& p);
  std::int32_t ReplyVoice(Device& device, Datagram& d);
  std::int32_t ReplyTemplate(Device& device, std::uint8_t* packet);
  // A list report: the wanted list when the report differs from it, else 0 (no list reply).
  std::int32_t ReplyList(Device& device, ListKind kind, std::uint8_t* packet, std::uint32_t length,
                         const std::string& at, Pending& p);
  void Refuse(const sockaddr_storage& from, DatagramRefusal reason);
  struct Recent {
    std::int64_t ms = 0;
    bool committed = false;  // its events are stored: a copy sent again is answered at once
  };
  // An event report as the duplicate check knows it: its device and its digest.
  struct ReportKey {
    std::uint64_t serial = 0;
    std::array<std::uint8_t, 16> digest{};
    bool operator==(const ReportKey&) const = default;
  };
  struct ReportKeyHash {
    // The digest is a hash already: its first bytes, mixed with the serial, do.
    std::size_t operator()(const ReportKey& key) const noexcept {
      std::uint64_t word = 0;
      std::memcpy(&word, key.digest.data(), sizeof word);
      return static_cast<std::size_t>(word ^ (key.serial * 0x9E3779B97F4A7C15ULL));
    }
  };
  const Recent* SeenRecently(const ReportKey& key, std::int64_t now);
  void AddWrite(Pending& p, Write write);  // the datagram in hand's reply waits for it
  Pending* TakePending();
  // The registry rows and refusals not yet written; every row not yet written when everything.
  Pending* RegistryPending(std::int64_t now, bool everything);
  void FlushRegistry(bool everything);

  // With the pipeline: waits while the batches handed on hold too many replies.
  void WaitForRoom(std::size_t datagrams);
  // Store side: the store thread with the pipeline, else the link thread.
  void Submit(Pending* p);  // under the hub's lock
  void StoreLoop();
  void Commit(std::vector<Pending*>& group);
  // `linkWrites`: the group's transaction held the link's writes (counted as a commit).
  void Settle(std::vector<Pending*>& group, bool committed, const std::string& error,
              std::int64_t lastEvent, bool linkWrites);
  // Gives ids to the event rows on the stage (PostgreSQL), waiting for the event order.
  void OrderStaged();
  void KeepWalShort();       // SQLite, after a commit's replies
  void PutBack(Pending& p);  // under the hub's lock
  void TakeTemplates(const Pending& p);
  // Back for reuse; `handedOn`: the Pendings were in the pipeline.
  void Recycle(std::vector<Pending*>& group, bool handedOn);

  Hub& hub_;
  Database& db_;  // the store side's alone once the pipeline runs
  PolicyOptions options_;
  // Event reports of the last minute, by device serial and digest of the datagram; under the
  // hub's lock.
  std::unordered_map<ReportKey, Recent, ReportKeyHash> recent_;
  std::deque<std::pair<ReportKey, std::int64_t>> recentOrder_;
  std::int64_t lastFlushMs_ = 0;
  std::uint64_t flushes_ = 0;               // under the hub's lock
  std::vector<std::string> dirtyRefusals_;  // under the hub's lock
  std::vector<std::uint8_t> raw_;           // the datagram in hand as received
  EventRows eventRows_;                     // store side
  std::int64_t walFrames_ = 0;              // store side: as of the last commit
  // A WAL this long (4 KiB pages, one WAL-index block) gets a checkpoint from the writer.
  static constexpr std::int64_t kLongWalFrames = 4096;
  std::int64_t walCheckpointAt_ = kLongWalFrames;  // store side: the length due a checkpoint
  // The batch's metrics, added once it is done; what the reply of the datagram in hand carries.
  BatchCounts counts_;
  ReplyKind replyKind_ = ReplyKind::kEcho;
  bool waits_ = false;  // the datagram in hand has a write its reply waits for

  // The pipeline: batches handed to the store thread and not yet settled, and the Pendings
  // kept for reuse (with their buffers).
  ReplySender send_;
  std::mutex queueMutex_;
  std::condition_variable queued_;  // to the store thread: work, or stop
  std::condition_variable room_;    // to the link thread: the queue has room again
  std::vector<Pending*> queue_;
  std::size_t inFlight_ = 0;       // Pendings submitted and not settled
  std::size_t heldDatagrams_ = 0;  // their datagrams
  std::vector<std::unique_ptr<Pending>> free_;
  bool stopping_ = false;
  std::thread storeThread_;
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
