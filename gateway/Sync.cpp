#include "Sync.h"

#include <cstdio>
#include <map>
#include <optional>
#include <set>

#include "Log.h"
#include "Store.h"

namespace velkor::gateway {
namespace {

constexpr auto kWait = std::chrono::milliseconds(250);
constexpr std::int64_t kRegistryEveryMs = 1000;
// Registry rows are written with the time of the device's last packet, a busy device's as late
// as kSeenWrittenEveryMs after it: rows seen this long before the last look are read again.
constexpr std::int64_t kRegistryOverlapMs = kSeenWrittenEveryMs + 5000;

int Rank(const std::string& state) {
  return state == "confirmed" ? 2 : state == "sent" ? 1 : 0;
}

void TakeRegistry(Device& d, const Device& stored) {
  d.type = stored.type;
  d.ip = stored.ip;
  d.port = stored.port;
  d.lastSeen = stored.lastSeen;
  d.lastSeenMs = stored.lastSeenMs;
  d.conflictAddress = stored.conflictAddress;
  d.accepted = stored.accepted;
  d.answered = stored.answered;
  d.conflicts = stored.conflicts;
  d.events = stored.events;
  d.firmware = stored.firmware;
  d.config = stored.config;
  d.lastClockMs = stored.lastClockMs;
  d.lastClockAt = stored.lastClockAt;
}

void TakeOwed(Hub& hub, Device& d, Device& stored) {
  // The store's queue, less what this gateway has taken since; plus what it queued since.
  const Hub::Meanwhile& meanwhile = hub.sinceSnapshot;
  std::map<std::int64_t, QueuedCommand> commands;
  for (QueuedCommand& command : stored.commands) {
    if (hub.commandsInFlight.count(command.id) == 0 && meanwhile.sent.count(command.id) == 0) {
      commands.emplace(command.id, std::move(command));
    }
  }
  for (QueuedCommand& command : d.commands) {
    if (meanwhile.queued.count(command.id) != 0) {
      commands.emplace(command.id, std::move(command));
    }
  }
  d.commands.clear();
  for (auto& [_, command] : commands) {
    d.commands.push_back(std::move(command));
  }
  for (std::size_t kind = 0; kind < d.lists.size(); ++kind) {
    auto& mine = d.lists[kind];
    auto& theirs = stored.lists[kind];
    if (!theirs) {
      continue;
    }
    if (!mine || theirs->version > mine->version) {
      mine = std::move(theirs);
    } else if (theirs->version == mine->version && Rank(theirs->state) > Rank(mine->state)) {
      mine->state = theirs->state;
      mine->sentAt = theirs->sentAt;
      mine->confirmedAt = theirs->confirmedAt;
    }
  }
  if (stored.labelled) {
    d.labels = std::move(stored.labels);
    d.labelled = true;
  }
  for (auto& [slot, data] : stored.templates) {
    if (meanwhile.templates.count({d.serial, slot}) == 0) {
      d.templates[slot] = data;
    }
  }
  for (auto& [word, clip] : stored.voice) {
    if (meanwhile.voice.count({d.serial, word}) == 0) {
      d.voice[word] = std::move(clip);
    }
  }
}

}  // namespace

void MergeDevice(Hub& hub, Device stored, bool owed) {
  Device* d = hub.Find(stored.serial);
  if (d == nullptr) {
    hub.pendingDevices += stored.admitted ? 0 : 1;
    const std::uint64_t serial = stored.serial;
    hub.devices.emplace(serial, std::move(stored));
    return;
  }
  if (stored.admitted) {
    hub.pendingDevices -= d->admitted ? 0 : 1;
    d->admitted = true;
    d->pinnedIp = stored.pinnedIp;
  }
  if (!d->dirty && stored.lastSeen > d->lastSeen) {
    TakeRegistry(*d, stored);
  }
  if (owed) {
    TakeOwed(hub, *d, stored);
  }
}

bool RecallDevice(Hub& hub, Database& db, std::uint64_t serial) {
  {
    std::lock_guard lock(hub.mutex);
    if (hub.Find(serial) != nullptr) {
      return true;
    }
  }
  std::optional<Device> stored = LoadDevice(db, serial);
  if (!stored) {
    return false;
  }
  std::lock_guard lock(hub.mutex);
  const bool appeared = hub.Find(serial) != nullptr;
  MergeDevice(hub, std::move(*stored), !appeared);
  return true;
}

StoreSync::StoreSync(Hub& hub, const std::string& location)
    : hub_(hub), db_(Database::Open(location)) {
  db_->Listen(kDevicesChannel);
  db_->Listen(kEventsChannel);
}

StoreSync::~StoreSync() {
  Stop();
}

void StoreSync::Start() {
  thread_ = std::thread([this] { Run(); });
}

void StoreSync::Stop() {
  stop_ = true;
  if (thread_.joinable()) {
    thread_.join();
  }
}

void StoreSync::Run() {
  std::string lastError;
  while (!stop_) {
    try {
      const std::vector<Notification> notes = db_->Await(kWait);
      if (db_->Connections() != connections_) {
        connections_ = db_->Connections();
        ReloadAll();
      }
      std::set<std::uint64_t> devices;
      std::int64_t lastEvent = 0;
      for (const Notification& note : notes) {
        const std::size_t space = note.payload.find(' ');
        if (space == std::string::npos || note.payload.compare(0, space, hub_.origin) == 0) {
          continue;  // this gateway's own, or not ours
        }
        const std::string what = note.payload.substr(space + 1);
        if (note.channel == kDevicesChannel) {
          if (const auto serial = ParseSerial(what)) {
            devices.insert(*serial);
          }
        } else if (note.channel == kEventsChannel) {
          lastEvent = std::max<std::int64_t>(lastEvent, std::strtoll(what.c_str(), nullptr, 10));
        }
      }
      for (const std::uint64_t serial : devices) {
        Reload(serial);
      }
      if (lastEvent > 0) {
        std::lock_guard lock(hub_.mutex);
        if (lastEvent > hub_.lastEventId) {
          hub_.lastEventId = lastEvent;
          hub_.eventsChanged.notify_all();
        }
      }
      const std::int64_t now = NowMs();
      if (now - lastRegistryMs_ >= kRegistryEveryMs) {
        ReadRegistry(now);
      }
      lastError.clear();
    } catch (const DatabaseError& error) {
      // The link and the API notice a store that is away on their own; this only waits for it.
      if (lastError != error.what()) {
        lastError = error.what();
        LogError(std::string("store sync: ") + error.what());
      }
      std::this_thread::sleep_for(kWait);
    } catch (const std::exception& error) {
      // A row it cannot read must not end the thread, and with it the process.
      LogError(std::string("store sync: ") + error.what());
      std::this_thread::sleep_for(kWait);
    }
  }
}

// A snapshot's merge takes what this gateway queued and sent since the snapshot's reading began
// into account (Hub::sinceSnapshot): noted from here until the merge, under the hub's lock.
template <typename Read>
auto StoreSync::Snapshot(Read read) {
  {
    std::lock_guard lock(hub_.mutex);
    hub_.sinceSnapshot = {};
    hub_.sinceSnapshot.open = true;
  }
  try {
    return read();
  } catch (...) {
    std::lock_guard lock(hub_.mutex);
    hub_.sinceSnapshot = {};
    throw;
  }
}

void StoreSync::ReloadAll() {
  Hub stored;
  Snapshot([&] { LoadFleet(*db_, stored); });
  std::lock_guard lock(hub_.mutex);
  for (auto& [_, device] : stored.devices) {
    MergeDevice(hub_, std::move(device), true);
  }
  hub_.sinceSnapshot = {};
  if (stored.lastEventId > hub_.lastEventId) {
    hub_.lastEventId = stored.lastEventId;
    hub_.eventsChanged.notify_all();
  }
}

void StoreSync::Reload(std::uint64_t serial) {
  std::optional<Device> stored = Snapshot([&] { return LoadDevice(*db_, serial); });
  std::lock_guard lock(hub_.mutex);
  if (stored) {
    MergeDevice(hub_, std::move(*stored), true);
  }
  hub_.sinceSnapshot = {};
}

void StoreSync::ReadRegistry(std::int64_t now) {
  const std::int64_t since = (lastRegistryMs_ == 0 ? now : lastRegistryMs_) - kRegistryOverlapMs;
  std::vector<Device> rows = LoadRegistry(*db_, IsoTime(since));
  lastRegistryMs_ = now;
  // A device new to this gateway has nothing owed yet that was not notified: what the API of
  // any gateway queues for it is announced, and reloaded with the device's row.
  std::lock_guard lock(hub_.mutex);
  for (Device& row : rows) {
    MergeDevice(hub_, std::move(row), false);
  }
}

}  // namespace velkor::gateway
