// What the gateway knows and owes, in memory: the registry of devices, and per device the
// commands, lists, templates and voice clips waiting for it. The store holds the same on disk;
// this copy lets the link thread choose a reply without a query per packet. One mutex guards
// it: the link thread takes it while it works through a batch of datagrams, HTTP threads while
// they read or change it.
#pragma once

#include <sys/socket.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "GatewayMetrics.h"
#include "Records.h"
#include "Site.h"

namespace velkor::gateway {

inline constexpr std::size_t kConfigLength = VELKORLINK_NET_CONFIG_LENGTH;
inline constexpr std::size_t kTemplateLength = 128;
using Template = std::array<std::uint8_t, kTemplateLength>;

enum class Admit { kKnown, kAny };

struct QueuedCommand {
  std::int64_t id = 0;
  Json body;
};

// A list the API has set for a device: wanted, then sent, then confirmed once the device
// reports it back.
struct WantedList {
  Json body;                 // the records as the API gave them
  std::string readBack;      // the same records as the device reads them (link thread fills)
  std::string state;         // "wanted", "sent", "confirmed"
  std::int64_t version = 0;  // changes with every PUT
  bool derived = false;      // from the site (holders, tags), not set directly
  std::string setAt, sentAt, confirmedAt;
};

// How stale a device row's last-seen time and counters may be in the store, at most: a busy
// fleet's rows are not all rewritten every second.
constexpr std::int64_t kSeenWrittenEveryMs = 30000;

// A device's row in the store: the registry fields alone, copied to be written without the lock
// and without what is owed (templates, voice clips, lists).
struct DeviceRow {
  std::uint64_t serial = 0;
  int type = 0;
  bool admitted = false;
  std::string pinnedIp;  // the address it was admitted from
  // The last packet's source; replies go there once its address is the pinned one.
  std::string ip;
  std::uint16_t port = 0;
  sockaddr_storage address{};
  socklen_t addressLength = 0;
  std::string firstSeen, lastSeen;
  std::int64_t lastSeenMs = 0;
  std::string firstPacket;      // hex, kept for a pending device
  std::string conflictAddress;  // the last address a conflicting packet came from
  std::uint64_t accepted = 0, answered = 0, conflicts = 0, events = 0;
  std::optional<std::int32_t> firmware;
  std::optional<std::array<std::uint8_t, kConfigLength>> config;
  std::optional<std::int64_t> lastClockMs;
  std::string lastClockAt;

  bool IsLegacy() const { return type == 0; }
};

struct Device : DeviceRow {
  Device() = default;
  explicit Device(const DeviceRow& row) : DeviceRow(row) {}

  std::deque<QueuedCommand> commands;
  std::array<std::optional<WantedList>, 3> lists;  // by ListKind
  std::map<std::uint8_t, Template> templates;
  std::map<std::uint16_t, std::vector<std::uint8_t>> voice;
  DeviceLabels labels;
  bool labelled = false;  // labels were ever set

  // Registry fields not yet written to the store. What other gateways act on (the address, the
  // type, the configuration, the clock, a conflict) is written at the next flush, about a second
  // later; the last-seen time and the counters alone (seenDirty) at most every kSeenWrittenEveryMs.
  bool dirty = false;
  bool seenDirty = false;
  // Replies to it that wait for a commit: a later reply waits behind them, so that a device
  // that sends several packets back to back gets their replies in order.
  std::uint32_t repliesHeld = 0;

  DeviceRow Registry() const { return *this; }
};

struct LinkCounters {
  std::uint64_t received = 0, accepted = 0, refused = 0, answered = 0, conflicts = 0,
                unadmitted = 0, duplicates = 0, eventsStored = 0, batches = 0, commits = 0,
                commitFailures = 0, oversized = 0;
};

struct Hub {
  std::mutex mutex;
  std::unordered_map<std::uint64_t, Device> devices;
  std::size_t pendingDevices = 0;  // devices not admitted yet
  // Status changes for the MQTT bridge, when there is one: (serial, "first_seen" or
  // "address_changed"), oldest first, at most kMaxStatusChanges.
  bool wantsStatus = false;
  std::deque<std::pair<std::uint64_t, std::string>> statusChanges;
  static constexpr std::size_t kMaxStatusChanges = 10000;
  void NoteStatus(std::uint64_t serial, const char* status) {
    if (!wantsStatus) {
      return;
    }
    if (statusChanges.size() >= kMaxStatusChanges) {
      statusChanges.pop_front();
    }
    statusChanges.emplace_back(serial, status);
  }
  std::map<std::string, std::uint64_t> refusedByAddress;
  LinkCounters counters;
  // What GET /metrics serves; atomics, updated without this mutex.
  GatewayMetrics metrics;
  bool linkUp = false;
  std::string storeError;  // the last store failure, empty while the store works

  // This run's random id, sent with the notifications to other gateways on a shared store.
  std::string origin;
  // An admitted device not heard from for this long is silent (--silent-after): MQTT announces
  // it, the metrics count it.
  std::int64_t silentAfterMs = 5 * 60 * 1000;
  // Commands the link thread has taken and not yet committed as sent: a reload from the store
  // meanwhile must not queue them again.
  std::set<std::int64_t> commandsInFlight;
  // The commands this gateway queued and sent, and the templates and voice clips it wrote,
  // while the sync thread read a snapshot of the store: the snapshot may predate them, so its
  // merge keeps the queued, drops the sent, and leaves the slots written as memory has them.
  struct Meanwhile {
    bool open = false;  // a snapshot is being read
    std::set<std::int64_t> queued, sent;
    std::set<std::pair<std::uint64_t, std::uint8_t>> templates;
    std::set<std::pair<std::uint64_t, std::uint16_t>> voice;
  };
  Meanwhile sinceSnapshot;
  void CommandQueued(std::int64_t id) {
    if (sinceSnapshot.open) {
      sinceSnapshot.queued.insert(id);
    }
  }
  void TemplateWritten(std::uint64_t serial, std::uint8_t slot) {  // and committed
    if (sinceSnapshot.open) {
      sinceSnapshot.templates.emplace(serial, slot);
    }
  }
  void VoiceWritten(std::uint64_t serial, std::uint16_t word) {  // and committed
    if (sinceSnapshot.open) {
      sinceSnapshot.voice.emplace(serial, word);
    }
  }
  void CommandSent(std::int64_t id) {  // committed as sent
    commandsInFlight.erase(id);
    if (sinceSnapshot.open) {
      sinceSnapshot.sent.insert(id);
    }
  }

  // Devices first seen since the API's site keeper last looked, oldest first; past the bound
  // the keeper looks at every device instead.
  static constexpr std::size_t kMaxFirstContacts = 10000;
  std::vector<std::uint64_t> firstContacts;
  bool firstContactsOverflowed = false;
  void NoteFirstContact(std::uint64_t serial) {
    if (firstContacts.size() >= kMaxFirstContacts) {
      firstContactsOverflowed = true;
      return;
    }
    firstContacts.push_back(serial);
  }

  // The newest stored event id; SSE streams wait on it.
  std::int64_t lastEventId = 0;
  std::condition_variable eventsChanged;

  Device* Find(std::uint64_t serial) {
    const auto found = devices.find(serial);
    return found == devices.end() ? nullptr : &found->second;
  }
};

}  // namespace velkor::gateway
