// A batch's writes on their way to the store, with the replies that wait for them and what the
// batch changed in memory (put back when the commit fails). Kept for reuse with their buffers,
// so that a steady flow of event reports allocates nothing per event.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "Gateway.h"

namespace velkor::gateway {

struct Gateway::Undo {
  std::vector<std::pair<std::uint64_t, QueuedCommand>> commands;  // taken from the queue
  std::vector<std::tuple<std::uint64_t, ListKind, WantedList>> lists;
  std::vector<ReportKey> reports;                               // duplicate-check keys added
  std::vector<std::pair<std::uint64_t, std::uint64_t>> events;  // device, records counted
  std::set<std::uint64_t> announce;  // devices whose owed state the other gateways must reload
  // Templates devices uploaded: memory takes them once they are stored.
  std::vector<std::tuple<std::uint64_t, std::uint8_t, Template>> templates;

  void Clear() {
    commands.clear();
    lists.clear();
    reports.clear();
    events.clear();
    announce.clear();
    templates.clear();
  }
};

struct Gateway::Pending {
  static constexpr std::size_t kNoReply = std::numeric_limits<std::size_t>::max();

  // An event report: its digest (stored for the duplicate check) and its records, a range of
  // `events`.
  struct Report {
    std::uint64_t serial = 0;
    std::array<std::uint8_t, 16> digest{};
    std::int64_t ms = 0;
    std::size_t first = 0, count = 0;
  };
  struct Event {
    EventRecord record{};
    std::array<std::uint8_t, 16> raw{};
  };

  // The replies that wait for the commit: with the pipeline their datagrams are moved out of
  // the link's batch into `held` (the first `heldCount`), else they stay in the batch.
  std::vector<Datagram> held;
  std::size_t heldCount = 0;
  std::vector<Datagram*> replies;
  std::vector<ReplyKind> kinds;        // of each reply
  std::vector<std::uint64_t> serials;  // with the pipeline, the device of each reply
  // Each write with the index of the reply that waits for it (kNoReply: none).
  std::vector<std::pair<std::size_t, Write>> writes;
  std::vector<Report> reports;
  std::vector<Event> events;
  Undo undo;
  // The registry's rows and the refusal counts not yet written, and the digests to prune.
  std::vector<DeviceRow> registry;
  std::vector<std::pair<std::string, std::uint64_t>> refusals;
  std::int64_t pruneBeforeMs = 0;
  bool moveStaged = false;  // gives ids to the event rows other gateways' commits staged
  // Filled by the store side.
  std::vector<std::size_t> lost;  // replies whose command another gateway sent first
  std::uint64_t eventsWritten = 0;

  bool Writes() const {
    return !writes.empty() || !reports.empty() || !registry.empty() || !refusals.empty() ||
           pruneBeforeMs != 0 || moveStaged;
  }
  bool FromLink() const { return !replies.empty() || !writes.empty() || !reports.empty(); }
  void Clear() {
    heldCount = 0;
    replies.clear();
    kinds.clear();
    serials.clear();
    writes.clear();
    reports.clear();
    events.clear();
    undo.Clear();
    registry.clear();
    refusals.clear();
    pruneBeforeMs = 0;
    moveStaged = false;
    lost.clear();
    eventsWritten = 0;
  }
};

}  // namespace velkor::gateway
