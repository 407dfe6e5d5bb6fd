#include "Requests.h"

#include "Commands.h"
#include "Store.h"
#include "Sync.h"

namespace velkor::gateway {

ListSummary Summarize(const WantedList& list) {
  return {list.state, list.body.size(), list.setAt, list.sentAt, list.confirmedAt, list.derived};
}

DeviceSummary Summarize(const Device& d) {
  DeviceSummary summary;
  summary.registry = d.Registry();
  summary.labels = d.labels;
  summary.queuedCommands = d.commands.size();
  for (std::size_t kind = 0; kind < d.lists.size(); ++kind) {
    if (d.lists[kind]) {
      summary.lists[kind] = Summarize(*d.lists[kind]);
    }
  }
  for (const auto& [slot, _] : d.templates) {
    summary.templates.push_back(slot);
  }
  for (const auto& [word, _] : d.voice) {
    summary.voice.push_back(word);
  }
  return summary;
}

Json ListStatus(const WantedList& list) {
  return ListStatus(Summarize(list));
}

Json ListStatus(const ListSummary& list) {
  Json status = {{"state", list.state},
                 {"count", list.count},
                 {"mode", list.derived ? "derived" : "manual"},
                 {"set_at", list.setAt}};
  if (!list.sentAt.empty()) {
    status["sent_at"] = list.sentAt;
  }
  if (!list.confirmedAt.empty()) {
    status["confirmed_at"] = list.confirmedAt;
  }
  return status;
}

Json DeviceJson(const Device& device) {
  return DeviceJson(Summarize(device));
}

Json DeviceJson(const DeviceSummary& summary) {
  const DeviceRow& d = summary.registry;
  Json j = {{"serial", SerialText(d.serial)},
            {"name", summary.labels.name.empty() ? Json(nullptr) : Json(summary.labels.name)},
            {"tags", summary.labels.tags},
            {"type", d.type},
            {"generation", d.IsLegacy() ? "legacy" : "current"},
            {"state", d.admitted ? "admitted" : "pending"},
            {"pinned_address", d.admitted ? Json(d.pinnedIp) : Json(nullptr)},
            {"address", d.ip},
            {"port", d.port},
            {"first_seen", d.firstSeen},
            {"last_seen", d.lastSeen},
            {"packets", {{"accepted", d.accepted}, {"answered", d.answered}}},
            {"conflicts", d.conflicts},
            {"events", d.events},
            {"firmware", d.firmware ? Json(*d.firmware) : Json(nullptr)},
            {"configuration", d.config ? ConfigToJson(d.config->data()) : Json(nullptr)},
            {"last_clock_at", d.lastClockAt.empty() ? Json(nullptr) : Json(d.lastClockAt)},
            {"queued_commands", summary.queuedCommands}};
  if (!d.admitted) {
    j["first_packet"] = d.firstPacket;
  }
  if (d.conflicts > 0) {
    j["conflict_address"] = d.conflictAddress;
  }
  // A list's mode: derived from the site until one is set directly.
  Json lists = Json::object();
  Json modes = Json::object();
  for (ListKind kind : {ListKind::kCards, ListKind::kGroups, ListKind::kSchedules}) {
    const auto& list = summary.lists[static_cast<std::size_t>(kind)];
    if (list) {
      lists[ListName(kind)] = ListStatus(*list);
    }
    modes[ListName(kind)] = !list || list->derived ? "derived" : "manual";
  }
  j["lists"] = lists;
  j["modes"] = modes;
  j["templates"] = summary.templates;
  j["voice"] = summary.voice;
  return j;
}

Queued QueueCommand(Hub& hub, Database& db, std::uint64_t serial, const Json& body,
                    AuditEntry audit) {
  const bool known = RecallDevice(hub, db, serial);
  std::lock_guard lock(hub.mutex);
  Device* d = known ? hub.Find(serial) : nullptr;
  if (d == nullptr) {
    return {404, {{"error", "no device " + SerialText(serial)}}};
  }
  FieldError error;
  const auto command = ParseCommand(body, d->IsLegacy(), error);
  if (!command) {
    return {400, {{"error", error.Message()}}};
  }
  if (d->commands.size() >= kMaxQueuedCommands) {
    return {429,
            {{"error", SerialText(serial) + " has " + std::to_string(kMaxQueuedCommands) +
                           " commands queued, the most it may; try again once it has taken some"}}};
  }
  std::int64_t id = 0;
  WriteAnnounced(db, hub.origin, serial, [&] {
    id = InsertCommand(db, serial, *command, IsoTime(NowMs()));
    audit.device = serial;
    audit.detail = {{"command_id", id}, {"command", *command}};
    audit.status = 202;
    InsertAudit(db, audit);
  });
  d->commands.push_back({id, *command});
  hub.CommandQueued(id);
  hub.metrics.CommandQueued();
  return {202, {{"id", id}, {"state", "queued"}}};
}

}  // namespace velkor::gateway
