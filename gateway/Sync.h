// Several gateways on one PostgreSQL store: each keeps its copy of the registry and of what is
// owed to devices in step with what the others write, so that every gateway's API shows every
// device and a device that moves to another gateway finds its commands and lists there.
//
// A thread of its own, on a connection of its own, LISTENs for the others' notifications (a
// device's owed state changed; events were stored), reloads what they name, and reads the
// registry rows seen lately once a second. After a lost connection it reloads everything, since
// what was notified meanwhile is gone.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "Database.h"
#include "State.h"

namespace velkor::gateway {

// Merges a device as the store holds it into the hub. The registry fields are taken when the
// store's row is newer than what this gateway knows and this gateway has nothing unwritten of
// it; admission only ever goes from pending to admitted (with the pin of the last admission).
// With `owed`, the queued commands, lists (a newer version, or the same version further along),
// templates and voice clips are taken too. The commands are the store's queue less those in
// flight here or sent since the snapshot began, plus those this gateway queued since: a reload
// never drops a committed command nor brings back a sent one.
void MergeDevice(Hub& hub, Device stored, bool owed);

// Whether memory holds the device of `serial`, after a miss reading it from the store (one
// indexed read on `db`, without the hub's lock) and taking it in when the store holds it: on a
// shared store another gateway may have just seen a device this one's sync has not heard of
// yet. Taken in whole, with what is owed to it, when memory still has no copy at the merge;
// merged as a registry row when a copy appeared meanwhile, which keeps what is newer. A serial
// the store does not hold adds nothing. Takes the hub's lock; throws DatabaseError.
bool RecallDevice(Hub& hub, Database& db, std::uint64_t serial);

class StoreSync {
 public:
  // Opens its connection and LISTENs; throws DatabaseError when it cannot.
  StoreSync(Hub& hub, const std::string& location);
  ~StoreSync();
  StoreSync(const StoreSync&) = delete;
  StoreSync& operator=(const StoreSync&) = delete;

  void Start();
  void Stop();

 private:
  void Run();
  template <typename Read>
  auto Snapshot(Read read);
  void ReloadAll();
  void Reload(std::uint64_t serial);
  void ReadRegistry(std::int64_t now);

  Hub& hub_;
  std::unique_ptr<Database> db_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::uint64_t connections_ = 0;  // of db_, when everything was last reloaded
  std::int64_t lastRegistryMs_ = 0;
};

}  // namespace velkor::gateway
