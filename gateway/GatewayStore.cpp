// The store side of the link's batches: their writes committed (on the gateway's store thread
// once the pipeline runs, in groups), and then, under the hub's lock, memory brought in line
// with what the store holds; the replies that waited leave only after that.
#include <algorithm>
#include <chrono>
#include <set>

#include "Gateway.h"
#include "Pending.h"

namespace velkor::gateway {
namespace {

constexpr std::int64_t kFlushEveryMs = 1000;
// Batches handed to the store thread and not yet settled, and the replies they hold: past these
// the link thread waits, at the disk's pace. About three link batches of replies.
constexpr std::size_t kMaxInFlight = 64;
constexpr std::size_t kMaxHeld = 3 * kMaxBatch;
constexpr std::size_t kKeptPendings = 8;
constexpr std::size_t kKeptHeld = 256;     // held replies a reused batch keeps room for
constexpr std::size_t kKeptRegistry = 64;  // and registry rows

}  // namespace

Gateway::~Gateway() {
  if (storeThread_.joinable()) {
    {
      std::lock_guard lock(queueMutex_);
      stopping_ = true;
    }
    queued_.notify_all();
    storeThread_.join();
  }
}

void Gateway::StartPipeline(ReplySender send) {
  send_ = std::move(send);
  storeThread_ = std::thread([this] { StoreLoop(); });
}

void Gateway::AddWrite(Pending& p, Write write) {
  p.writes.emplace_back(p.kinds.size(), std::move(write));
  waits_ = true;
}

Gateway::Pending* Gateway::TakePending() {
  std::lock_guard lock(queueMutex_);
  if (free_.empty()) {
    return new Pending();
  }
  Pending* p = free_.back().release();
  free_.pop_back();
  return p;
}

void Gateway::Recycle(std::vector<Pending*>& group, bool handedOn) {
  std::lock_guard lock(queueMutex_);
  for (Pending* p : group) {
    if (handedOn) {
      --inFlight_;
      heldDatagrams_ -= p->heldCount;
    }
    p->Clear();
    // What one burst or one registry flush needed is not kept for every batch after it: the
    // registry's rows alone are of the order of a kilobyte a device.
    if (p->held.capacity() > kKeptHeld) {
      std::vector<Datagram>().swap(p->held);
    }
    if (p->registry.capacity() > kKeptRegistry) {
      std::vector<DeviceRow>().swap(p->registry);
    }
    if (free_.size() < kKeptPendings) {
      free_.emplace_back(p);
    } else {
      delete p;
    }
  }
  group.clear();
  room_.notify_all();
}

void Gateway::WaitForRoom(std::size_t datagrams) {
  std::unique_lock lock(queueMutex_);
  room_.wait(lock, [&] {
    return inFlight_ < kMaxInFlight &&
           (heldDatagrams_ == 0 || heldDatagrams_ + datagrams <= kMaxHeld);
  });
}

void Gateway::Submit(Pending* p) {
  {
    std::lock_guard lock(queueMutex_);
    queue_.push_back(p);
    ++inFlight_;
    heldDatagrams_ += p->heldCount;
  }
  queued_.notify_one();
}

void Gateway::StoreLoop() {
  std::vector<Pending*> group;
  for (;;) {
    {
      std::unique_lock lock(queueMutex_);
      queued_.wait(lock, [&] { return !queue_.empty() || stopping_; });
      if (queue_.empty()) {
        return;  // stopping, and everything handed on is settled
      }
      group.swap(queue_);
    }
    Commit(group);
  }
}

void Gateway::Commit(std::vector<Pending*>& group) {
  const bool writes =
      std::any_of(group.begin(), group.end(), [](const Pending* p) { return p->Writes(); });
  if (!writes) {
    Settle(group, true, {}, 0, false);  // replies that waited for an earlier group only
    return;
  }
  const bool events =
      std::any_of(group.begin(), group.end(), [](const Pending* p) { return !p->reports.empty(); });
  // A commit of the link's writes is timed and counted; the registry's flush alone is not.
  const bool linkWrites = std::any_of(
      group.begin(), group.end(), [](const Pending* p) { return p->FromLink() && p->Writes(); });
  std::int64_t lastEvent = 0;
  const auto start = std::chrono::steady_clock::now();
  const auto observe = [&] {
    if (linkWrites) {
      hub_.metrics.ObserveCommit(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
  };
  const bool move =
      std::any_of(group.begin(), group.end(), [](const Pending* p) { return p->moveStaged; });
  bool staged = false;
  try {
    Transaction transaction(db_);
    eventRows_.Clear();  // what a failed attempt gathered
    // Events go into the log in the order they become visible, which the event order keeps.
    // While another gateway holds it, they are staged instead, and committed beside its
    // transaction rather than after it; the holder, or the next flush, gives them their ids.
    bool ordered = false;
    if (events) {
      ordered = TryEventOrder(db_);
    } else if (move) {
      LockEventOrder(db_);
      ordered = true;
    }
    const bool moved = ordered && MoveStaged(db_) > 0;
    staged = events && !ordered;
    if (staged) {
      eventRows_.Stage();
    }
    std::set<std::uint64_t> announce;
    for (Pending* p : group) {
      p->lost.clear();
      p->eventsWritten = 0;
      for (const auto& [reply, write] : p->writes) {
        if (!write(db_) && reply != Pending::kNoReply) {
          p->lost.push_back(reply);
        }
      }
      for (const Pending::Report& r : p->reports) {
        // A report the store has seen is stored already: by another gateway the device talked
        // to before (PostgreSQL). On SQLite the gateway is alone on its store and the link's
        // memory of the last minute, loaded at start from the rows' digests, is the check.
        if (db_.engine() == Engine::kPostgres && !InsertReport(db_, r.serial, r.digest, r.ms)) {
          continue;
        }
        for (std::size_t i = r.first; i < r.first + r.count; ++i) {
          eventRows_.Add(db_, r.serial, r.ms, p->events[i].record, p->events[i].raw.data(),
                         r.digest);
        }
        p->eventsWritten += r.count;
      }
      for (const DeviceRow& device : p->registry) {
        SaveDevice(db_, device);
      }
      if (!p->refusals.empty()) {
        const std::string at = IsoTime(NowMs());
        for (const auto& [address, count] : p->refusals) {
          SaveRefusals(db_, address, count, at);
        }
      }
      if (p->pruneBeforeMs != 0) {
        PruneReports(db_, p->pruneBeforeMs);
      }
      announce.insert(p->undo.announce.begin(), p->undo.announce.end());
    }
    eventRows_.Flush(db_);
    for (const std::uint64_t serial : announce) {
      Announce(db_, hub_.origin, serial);
    }
    if ((events && ordered) || moved) {
      lastEvent = NewestEvent(db_);
      AnnounceEvents(db_, hub_.origin, lastEvent);
    }
    transaction.Commit();
  } catch (const DatabaseError& error) {
    observe();
    Settle(group, false, error.what(), 0, linkWrites);
    return;
  }
  observe();
  Settle(group, true, {}, lastEvent, linkWrites);
  if (staged) {
    OrderStaged();  // the replies are settled: the rows get their ids behind them
  }
  KeepWalShort();
}

// The checkpoint thread copies the WAL back behind the writer, but while commits keep coming
// it never copies up to the last of them, and a WAL never copied to its end is never written
// from its start again: it grows without bound, and each append and each page looked up in it
// gets dearer. So once the WAL is long, the writer checkpoints between two of its commits,
// after the replies: with no commit in between, the copy reaches the end (the checkpoint
// thread has done most of it), and the next commit starts the WAL again from the top. A reader
// that keeps an old snapshot (a backup) holds that back; until it is done, the writer tries
// again only after as many frames again, so that it does not checkpoint after every commit.
void Gateway::KeepWalShort() {
  const std::int64_t frames = db_.WalFrames();
  if (frames < walFrames_) {
    walCheckpointAt_ = kLongWalFrames;  // started again
  }
  walFrames_ = frames;
  if (frames < walCheckpointAt_) {
    return;
  }
  try {
    // A row: whether another checkpoint (the thread's) held the WAL, then its frames and the
    // frames copied. Held: the next commit tries again.
    Statement& checkpoint = db_.Prepare("PRAGMA wal_checkpoint(PASSIVE)");
    checkpoint.Bind();
    const bool held = checkpoint.Step() && checkpoint.Int(0) != 0;
    checkpoint.Reset();
    if (!held) {
      walCheckpointAt_ = frames + kLongWalFrames;
    }
  } catch (const DatabaseError&) {
    walCheckpointAt_ = frames + kLongWalFrames;  // the checkpoint thread says the store is away
  }
}

void Gateway::OrderStaged() {
  std::int64_t lastEvent = 0;
  try {
    Transaction transaction(db_);
    LockEventOrder(db_);
    if (MoveStaged(db_) > 0) {
      lastEvent = NewestEvent(db_);
      AnnounceEvents(db_, hub_.origin, lastEvent);
    }
    transaction.Commit();
  } catch (const DatabaseError&) {
    return;  // the rows wait on the stage, stored; the next flush moves them
  }
  std::lock_guard lock(hub_.mutex);
  if (lastEvent > hub_.lastEventId) {
    hub_.lastEventId = lastEvent;
    hub_.eventsChanged.notify_all();
  }
}

void Gateway::Settle(std::vector<Pending*>& group, bool committed, const std::string& error,
                     std::int64_t lastEvent, bool linkWrites) {
  BatchCounts counts;
  {
    std::lock_guard lock(hub_.mutex);
    const bool fromLink =
        std::any_of(group.begin(), group.end(), [](const Pending* p) { return p->FromLink(); });
    if (!committed) {
      hub_.metrics.StoreFailed(fromLink ? StoreUser::kCommit : StoreUser::kFlush);
      if (send_) {
        // What was handed on after this group was decided on the memory the failure puts
        // back: it fails with it, unanswered, and the devices send it again.
        std::lock_guard queue(queueMutex_);
        group.insert(group.end(), queue_.begin(), queue_.end());
        queue_.clear();
      }
      if (fromLink) {
        ++hub_.counters.commitFailures;
        if (hub_.storeError.empty()) {
          LogError("store lost: " + error +
                   "; packets that need it go unanswered until it is back");
        }
      }
      hub_.storeError = error;
      // Newest first, so that each batch's memory goes back to what it saw.
      for (auto it = group.rbegin(); it != group.rend(); ++it) {
        PutBack(**it);
      }
      for (auto& [_, device] : hub_.devices) {
        device.dirty = true;  // registry rows these batches inserted are written by the next flush
      }
    } else {
      if (linkWrites) {
        ++hub_.counters.commits;
        if (!hub_.storeError.empty()) {
          LogInfo("store back: the link stores and answers again");
        }
      }
      hub_.storeError.clear();
      for (Pending* p : group) {
        for (const ReportKey& key : p->undo.reports) {
          if (const auto found = recent_.find(key); found != recent_.end()) {
            found->second.committed = true;  // copies sent again are answered from now on
          }
        }
        TakeTemplates(*p);
        for (const auto& [_, command] : p->undo.commands) {
          hub_.CommandSent(command.id);
        }
        for (const std::size_t i : p->lost) {
          // The command went out from another gateway, so this reply must not; the device asks
          // again.
          if (p->replies[i]->reply > 0) {
            p->replies[i]->reply = 0;
            --hub_.counters.answered;
          }
        }
        counts.eventsStored += p->eventsWritten;
        counts.commandsSent += p->undo.commands.size() - p->lost.size();
        for (std::size_t i = 0; i < p->replies.size(); ++i) {
          if (p->replies[i]->reply > 0) {
            ++counts.replies[static_cast<std::size_t>(p->kinds[i])];
          }
        }
      }
      if (lastEvent > hub_.lastEventId) {
        hub_.lastEventId = lastEvent;
        hub_.eventsChanged.notify_all();
      }
    }
    // Sent before the devices' later replies may go: under the lock that decides those.
    for (Pending* p : group) {
      if (send_) {
        send_(std::span<Datagram>(p->held.data(), p->heldCount));
      }
      for (const std::uint64_t serial : p->serials) {
        // A device whose row the store sync took in again meanwhile counts from 0.
        if (Device* d = hub_.Find(serial); d != nullptr && d->repliesHeld > 0) {
          --d->repliesHeld;
        }
      }
    }
  }
  hub_.metrics.AddBatch(counts);
  Recycle(group, send_ != nullptr);
}

void Gateway::PutBack(Pending& p) {
  // Nothing of the batch is stored: the packets that wrote get no reply (a device sends its
  // report again), and what they took from memory goes back.
  for (Datagram* d : p.replies) {
    if (d->reply > 0) {
      d->reply = 0;
      --hub_.counters.answered;
    }
  }
  for (auto it = p.undo.commands.rbegin(); it != p.undo.commands.rend(); ++it) {
    hub_.commandsInFlight.erase(it->second.id);
    if (Device* d = hub_.Find(it->first)) {
      d->commands.push_front(it->second);
    }
  }
  for (auto it = p.undo.lists.rbegin(); it != p.undo.lists.rend(); ++it) {
    if (Device* d = hub_.Find(std::get<0>(*it))) {
      auto& slot = d->lists[static_cast<std::size_t>(std::get<1>(*it))];
      if (slot && slot->version == std::get<2>(*it).version) {
        slot = std::get<2>(*it);
      }
    }
  }
  for (const ReportKey& key : p.undo.reports) {
    recent_.erase(key);
  }
  for (const auto& [serial, count] : p.undo.events) {
    if (Device* d = hub_.Find(serial)) {
      d->events -= count;
      hub_.counters.eventsStored -= count;
    }
  }
  for (const auto& [address, _] : p.refusals) {
    dirtyRefusals_.push_back(address);
  }
}

// Under the hub's lock, after the batch's commit. An API write of the same slot may have come
// between the two: memory then takes what the store holds, not what this batch wrote.
void Gateway::TakeTemplates(const Pending& p) {
  for (const auto& [serial, slot, data] : p.undo.templates) {
    Device* d = hub_.Find(serial);
    if (d == nullptr) {
      continue;
    }
    try {
      if (const auto stored = LoadTemplate(db_, serial, slot)) {
        d->templates[slot] = *stored;
      }
    } catch (const DatabaseError&) {
      d->templates[slot] = data;  // what this batch stored, read back when the store returns
    }
    hub_.TemplateWritten(serial, slot);
  }
}

Gateway::Pending* Gateway::RegistryPending(std::int64_t now, bool everything) {
  Pending* p = TakePending();
  // Rows whose last-seen time and counters alone changed are written in slices, one slice a
  // flush: each device once every `slices` flushes, and a busy fleet spread over them rather than
  // rewritten whole every second. A quarter of --silent-after at most, so that another gateway
  // on the store does not see a device fall silent that only talks to this one.
  const std::int64_t every =
      std::clamp<std::int64_t>(hub_.silentAfterMs / 4, kFlushEveryMs, kSeenWrittenEveryMs);
  const std::uint64_t slices = static_cast<std::uint64_t>(every / kFlushEveryMs);
  const std::uint64_t slice = flushes_++ % slices;
  const auto written = [&](std::uint64_t serial, const Device& device) {
    // Serials are not spread evenly (a maker's come in runs): their mixed bits are.
    return device.dirty ||
           (device.seenDirty &&
            (everything || (serial * 0x9E3779B97F4A7C15ULL >> 32) % slices == slice));
  };
  for (auto& [serial, device] : hub_.devices) {
    if (written(serial, device)) {
      p->registry.push_back(device.Registry());
      device.dirty = false;
      device.seenDirty = false;
    }
  }
  std::sort(dirtyRefusals_.begin(), dirtyRefusals_.end());
  dirtyRefusals_.erase(std::unique(dirtyRefusals_.begin(), dirtyRefusals_.end()),
                       dirtyRefusals_.end());
  for (const std::string& address : dirtyRefusals_) {
    p->refusals.emplace_back(address, hub_.refusedByAddress[address]);
  }
  dirtyRefusals_.clear();
  p->pruneBeforeMs = now - kDuplicateWindowMs;
  p->moveStaged = db_.engine() == Engine::kPostgres;
  return p;
}

void Gateway::Tick() {
  FlushRegistry(false);
}

void Gateway::FlushRegistry(bool everything) {
  const std::int64_t now = NowMs();
  if (!everything && now - lastFlushMs_ < kFlushEveryMs) {
    return;
  }
  lastFlushMs_ = now;
  std::vector<Pending*> group;
  {
    std::lock_guard lock(hub_.mutex);
    Pending* p = RegistryPending(now, everything);
    if (send_) {
      Submit(p);
      return;
    }
    group.push_back(p);
  }
  Commit(group);
}

void Gateway::Flush() {
  FlushRegistry(true);
  if (!storeThread_.joinable()) {
    return;
  }
  {
    std::lock_guard lock(queueMutex_);
    stopping_ = true;
  }
  queued_.notify_all();
  storeThread_.join();  // after everything handed on is committed and answered
  send_ = nullptr;
}

}  // namespace velkor::gateway
