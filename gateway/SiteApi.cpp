// The site's routes: devices' names and tags, cardholders, groups and schedules by tag, and a
// device's list given back to the site; and the change of the site that each of them makes,
// with the lists it derives for every device.
#include <algorithm>

#include "Api.h"
#include "ApiSupport.h"
#include "Log.h"
#include "SiteStore.h"
#include "Store.h"

namespace velkor::gateway {
namespace {

using Req = HttpRequest;
using Res = HttpResponse;

constexpr auto kKeeperEvery = std::chrono::seconds(1);
constexpr std::size_t kAuditedChanges = 100;  // lists named in one audit entry; the rest counted

std::string TagParam(const std::string& text) {
  if (!ValidTag(text)) {
    Fail(400, "tag \"" + text.substr(0, 40) +
                  "\": must be 1 to 32 lower-case letters, digits and '-', not 14 hex digits");
  }
  return text;
}

Holder HolderBody(const Req& req) {
  FieldError error;
  auto holder = HolderFromJson(ParseBody(req), error);
  if (!holder) {
    Fail(400, error.Message());
  }
  return std::move(*holder);
}

// No other holder has the holder's card.
void CardIsFree(Database& db, const Holder& holder) {
  const auto other = HolderOfCard(db, holder.cardNumber);
  if (other && *other != holder.id) {
    Fail(409, "cardNumber: card " + std::to_string(holder.cardNumber) + " is holder " +
                  std::to_string(*other) + "'s");
  }
}

Json WithChanges(Json body, Json changes) {
  body["lists_changed"] = std::move(changes);
  return body;
}

Json RecordsOf(ListKind kind, const Json& body) {
  if (!body.is_array()) {
    Fail(400, std::string(ListName(kind)) + ": must be an array of records");
  }
  FieldError error;
  Json records = ListRecords(kind, body, error);
  if (records.is_null()) {
    Fail(400, error.Message());
  }
  return records;
}

}  // namespace

Json Api::ChangeSite(SiteChange change) {
  std::lock_guard db(dbMutex_);
  return ChangeSiteOn(*db_, change);
}

Json Api::ChangeSiteOn(Database& store, SiteChange& change) {
  struct Written {
    std::uint64_t serial;
    ListKind kind;
    WantedList list;
  };
  std::vector<Written> written;
  {
    Transaction transaction(store);
    StepSiteVersion(store);
    if (change.write) {
      change.write(change.audit.detail);
    }
    const Site site = LoadSite(store);
    // Tags, modes and versions as the store has them: memory may lag behind another gateway's
    // change, and a plan compared with a list that is no longer there could leave a removed
    // holder's card on a door. Memory serves a list's records where its version is the store's.
    const StoredDevices stored = LoadStoredDevices(store);
    std::vector<std::pair<std::size_t, ListKind>> lagging;  // a view, and its list to read
    std::vector<DeviceView> views;
    const auto view = [&](const Device& d) {
      DeviceView v;
      v.serial = d.serial;
      if (const auto labels = change.labels.find(d.serial); labels != change.labels.end()) {
        v.tags = labels->second.tags;
      } else if (const auto tags = stored.tags.find(d.serial); tags != stored.tags.end()) {
        v.tags = tags->second;
      }
      for (std::size_t kind = 0; kind < d.lists.size(); ++kind) {
        const auto row = stored.lists.find({d.serial, static_cast<ListKind>(kind)});
        if (row == stored.lists.end()) {
          continue;  // no list yet
        }
        v.manual[kind] = !row->second.derived;
        if (!row->second.derived) {
          continue;  // left alone, not compared
        }
        if (const auto& list = d.lists[kind]; list && list->version == row->second.version) {
          v.current[kind] = list->body;
        } else {
          lagging.emplace_back(views.size(), static_cast<ListKind>(kind));
        }
      }
      for (const auto& [serial, kind] : change.giveBack) {
        if (serial == d.serial) {
          v.manual[static_cast<std::size_t>(kind)] = false;
          v.force[static_cast<std::size_t>(kind)] = true;
        }
      }
      views.push_back(std::move(v));
    };
    std::vector<std::uint64_t> serials;
    if (change.only) {
      serials = *change.only;
    } else {
      std::lock_guard lock(hub_.mutex);
      serials.reserve(hub_.devices.size());
      for (const auto& [serial, _] : hub_.devices) {
        serials.push_back(serial);
      }
    }
    // The link thread takes this lock for every packet, and a large fleet's full card lists
    // take long to copy: they are copied a few devices at a time.
    constexpr std::size_t kViewedPerLock = 64;
    views.reserve(serials.size());
    for (std::size_t at = 0; at < serials.size(); at += kViewedPerLock) {
      std::lock_guard lock(hub_.mutex);
      for (std::size_t i = at; i < std::min(serials.size(), at + kViewedPerLock); ++i) {
        if (const Device* d = hub_.Find(serials[i])) {
          view(*d);
        }
      }
    }
    for (const auto& [index, kind] : lagging) {
      views[index].current[static_cast<std::size_t>(kind)] =
          LoadListRecords(store, views[index].serial, kind);
    }
    ListPlan plan = PlanLists(site, views);
    if (!plan.overfull.empty()) {
      Fail(422, OverfullMessage(plan.overfull));
    }
    if (change.dryRun) {
      Json planned = Json::array();
      for (const ListChange& c : plan.changes) {
        planned.push_back({{"device", SerialText(c.serial)},
                           {"list", ListName(c.kind)},
                           {"records", c.records.size()}});
      }
      return planned;  // and the transaction rolls back
    }
    if (!change.write && plan.changes.empty()) {
      return Json::array();  // nothing to commit
    }
    const std::string at = IsoTime(NowMs());
    Json audited = Json::array();
    for (ListChange& c : plan.changes) {
      WantedList list;
      list.body = std::move(c.records);
      list.state = "wanted";
      list.derived = true;
      list.setAt = at;
      const bool givenBack = std::find(change.giveBack.begin(), change.giveBack.end(),
                                       std::pair(c.serial, c.kind)) != change.giveBack.end();
      if (givenBack) {
        list.version = SaveList(store, c.serial, c.kind, list);
      } else if (const auto version = SaveDerivedList(store, c.serial, c.kind, list)) {
        list.version = *version;
      } else {
        continue;  // set directly, on another gateway, since this one heard of the list
      }
      Announce(store, hub_.origin, c.serial);
      if (audited.size() < kAuditedChanges) {
        audited.push_back({{"device", SerialText(c.serial)},
                           {"list", ListName(c.kind)},
                           {"version", list.version},
                           {"records", list.body.size()}});
      }
      written.push_back({c.serial, c.kind, std::move(list)});
    }
    for (const auto& [serial, _] : change.labels) {
      Announce(store, hub_.origin, serial);
    }
    change.audit.detail["lists_changed"] = std::move(audited);
    if (written.size() > kAuditedChanges) {
      change.audit.detail["lists_changed_count"] = written.size();
    }
    InsertAudit(store, change.audit);
    transaction.Commit();
  }
  Json changes = Json::array();
  std::lock_guard lock(hub_.mutex);
  for (auto& [serial, labels] : change.labels) {
    if (Device* d = hub_.Find(serial)) {
      d->labels = std::move(labels);
      d->labelled = true;
    }
  }
  for (Written& w : written) {
    changes.push_back({{"device", SerialText(w.serial)},
                       {"list", ListName(w.kind)},
                       {"version", w.list.version},
                       {"records", w.list.body.size()}});
    if (Device* d = hub_.Find(w.serial)) {
      auto& slot = d->lists[static_cast<std::size_t>(w.kind)];
      if (!slot || slot->version < w.list.version) {  // not when a newer one came meanwhile
        slot = std::move(w.list);
      }
    }
  }
  return changes;
}

void Api::KeepSite() {
  std::unique_lock wait(keeperMutex_);
  while (!stopping_) {
    keeperWake_.wait_for(wait, kKeeperEvery, [this] { return stopping_.load(); });
    if (stopping_) {
      break;
    }
    SiteChange change;
    {
      std::lock_guard lock(hub_.mutex);
      if (hub_.firstContacts.empty() && !hub_.firstContactsOverflowed) {
        continue;
      }
      if (!hub_.firstContactsOverflowed) {
        change.only = std::move(hub_.firstContacts);
      }
      hub_.firstContacts.clear();
      hub_.firstContactsOverflowed = false;
    }
    change.audit.actor = "gateway";
    change.audit.method = "LINK";
    change.audit.route = "first contact";
    try {
      // A connection of its own: its failures, and its waits to connect again, are not the
      // API's. A site nobody has set up gives no list: no write transaction for it. A holder
      // added meanwhile plans every device in memory, these too.
      if (!keeperDb_) {
        keeperDb_ = Database::Open(location_);
      }
      if (LoadSite(*keeperDb_).Empty()) {
        continue;
      }
      const Json changes = ChangeSiteOn(*keeperDb_, change);
      if (!changes.empty()) {
        LogInfo("site: " + std::to_string(changes.size()) +
                " lists derived for devices first seen");
      }
      StoreWorked();
    } catch (const HttpError& e) {
      LogWarning("site: devices first seen get no cards: " + e.message);
    } catch (const DatabaseError& e) {
      StoreFailed(e);
      // Looked at again next time: the devices are still new to the site.
      std::lock_guard lock(hub_.mutex);
      if (change.only) {
        for (const std::uint64_t serial : *change.only) {
          hub_.NoteFirstContact(serial);
        }
      } else {
        hub_.firstContactsOverflowed = true;
      }
    } catch (const std::exception& e) {
      // A row it cannot read must not end the thread, and with it the process.
      LogError(std::string("site: ") + e.what());
    }
  }
}

void Api::SiteRoutes() {
  Add("PUT", "/api/v1/devices/{serial}/labels", Stored([this](const Req& req) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        FieldError error;
        auto labels = LabelsFromJson(ParseBody(req), error);
        if (!labels) {
          Fail(400, error.Message());
        }
        Recall(serial);
        const std::string at = IsoTime(NowMs());
        SiteChange change;
        change.audit = Audited(req, serial, {{"name", labels->name}, {"tags", labels->tags}});
        change.write = [&, serial](Json&) { SaveLabels(*db_, serial, *labels, at); };
        change.labels[serial] = *labels;
        Json changes = ChangeSite(std::move(change));
        return JsonReply(200, WithChanges({{"serial", SerialText(serial)},
                                           {"name", labels->name},
                                           {"tags", labels->tags}},
                                          std::move(changes)));
      }));

  // A list set directly stays until this gives the device's list back to the site.
  for (ListKind kind : {ListKind::kCards, ListKind::kGroups, ListKind::kSchedules}) {
    Add("DELETE", std::string("/api/v1/devices/{serial}/") + ListName(kind),
        Stored([this, kind](const Req& req) {
          const std::uint64_t serial = SerialParam(req.matches[1]);
          Recall(serial);
          SiteChange change;
          change.audit = Audited(req, serial, {{"list", ListName(kind)}, {"mode", "derived"}});
          change.write = [](Json&) {};
          change.giveBack.emplace_back(serial, kind);
          change.only = std::vector<std::uint64_t>{serial};
          Json changes = ChangeSite(std::move(change));
          return JsonReply(200, WithChanges({{"serial", SerialText(serial)},
                                             {"list", ListName(kind)},
                                             {"mode", "derived"}},
                                            std::move(changes)));
        }));
  }
  HolderRoutes();
  HolderCsvRoutes();
  TagRoutes();
}

void Api::HolderRoutes() {
  const auto holderId = [](const Req& req) {
    return NumberParam(req.matches[1], "holder id", 1, INT64_MAX);
  };

  // A page of holders by id; ?q= finds a text in the name or the note, or a card number.
  Add("GET", "/api/v1/holders", Stored([this](const Req& req) {
        const std::int64_t after =
            req.HasParam("after") ? NumberParam(req.Param("after"), "after", 0, INT64_MAX) : 0;
        const std::size_t limit = PageLimit(req);
        const std::string query = req.HasParam("q") ? req.Param("q").substr(0, 200) : "";
        std::vector<Holder> holders;
        {
          std::lock_guard db(dbMutex_);
          holders = LoadSite(*db_).holders;
        }
        std::sort(holders.begin(), holders.end(),
                  [](const Holder& a, const Holder& b) { return a.id < b.id; });
        Json page = Json::array();
        std::int64_t next = 0;
        for (const Holder& holder : holders) {
          if (holder.id <= after ||
              (!query.empty() && holder.name.find(query) == std::string::npos &&
               holder.note.find(query) == std::string::npos &&
               std::to_string(holder.cardNumber) != query)) {
            continue;
          }
          if (page.size() == limit) {
            next = page.back()["id"].get<std::int64_t>();
            break;
          }
          page.push_back(HolderJson(holder));
        }
        return JsonReply(
            200, {{"holders", std::move(page)}, {"next", next == 0 ? Json(nullptr) : Json(next)}});
      }));

  Add("GET", "/api/v1/holders/{id}", Stored([this, holderId](const Req& req) {
        const std::int64_t id = holderId(req);
        std::optional<Holder> holder;
        {
          std::lock_guard db(dbMutex_);
          holder = LoadHolder(*db_, id);
        }
        if (!holder) {
          Fail(404, "no holder " + std::to_string(id));
        }
        return JsonReply(200, HolderJson(*holder));
      }));

  Add("POST", "/api/v1/holders", Stored([this](const Req& req) {
        Holder holder = HolderBody(req);
        holder.createdAt = holder.updatedAt = IsoTime(NowMs());
        SiteChange change;
        change.audit = Audited(req, std::nullopt, {}, 201);
        change.write = [&](Json& detail) {
          if (CountHolders(*db_) >= static_cast<std::int64_t>(kMaxHolders)) {
            Fail(422,
                 "the site holds " + std::to_string(kMaxHolders) + " holders, the most it may");
          }
          CardIsFree(*db_, holder);
          holder.id = InsertHolder(*db_, holder);
          detail = {{"holder", holder.id},
                    {"name", holder.name},
                    {"cardNumber", holder.cardNumber},
                    {"devices", holder.devices}};
        };
        Json changes = ChangeSite(std::move(change));
        LogInfo("holder " + std::to_string(holder.id) + " added by " + req.principal.name);
        return JsonReply(201, WithChanges(HolderJson(holder), std::move(changes)));
      }));

  Add("PUT", "/api/v1/holders/{id}", Stored([this, holderId](const Req& req) {
        const std::int64_t id = holderId(req);
        Holder holder = HolderBody(req);
        holder.id = id;
        holder.updatedAt = IsoTime(NowMs());
        SiteChange change;
        change.audit = Audited(req, std::nullopt, {});
        change.write = [&](Json& detail) {
          const auto before = LoadHolder(*db_, id);
          if (!before) {
            Fail(404, "no holder " + std::to_string(id));
          }
          CardIsFree(*db_, holder);
          holder.createdAt = before->createdAt;
          UpdateHolder(*db_, holder);
          detail = {{"holder", id},
                    {"name", holder.name},
                    {"cardNumber", holder.cardNumber},
                    {"devices", holder.devices}};
        };
        Json changes = ChangeSite(std::move(change));
        return JsonReply(200, WithChanges(HolderJson(holder), std::move(changes)));
      }));

  Add("DELETE", "/api/v1/holders/{id}", Stored([this, holderId](const Req& req) {
        const std::int64_t id = holderId(req);
        SiteChange change;
        change.audit = Audited(req, std::nullopt, {{"holder", id}});
        change.write = [&](Json& detail) {
          const auto before = LoadHolder(*db_, id);
          if (!before || !DeleteHolder(*db_, id)) {
            Fail(404, "no holder " + std::to_string(id));
          }
          detail["name"] = before->name;
          detail["cardNumber"] = before->cardNumber;
        };
        Json changes = ChangeSite(std::move(change));
        return JsonReply(200, WithChanges({{"id", id}, {"deleted", true}}, std::move(changes)));
      }));
}

void Api::TagRoutes() {
  // Every tag in use: on how many devices, named by how many holders, with which lists.
  Add("GET", "/api/v1/tags", Stored([this](const Req&) {
        Site site;
        {
          std::lock_guard db(dbMutex_);
          site = LoadSite(*db_);
        }
        std::map<std::string, Json> tags;
        const auto entry = [&](const std::string& tag) -> Json& {
          auto [found, fresh] = tags.try_emplace(tag);
          if (fresh) {
            found->second = {{"tag", tag}, {"devices", 0}, {"holders", 0}};
          }
          return found->second;
        };
        {
          std::lock_guard lock(hub_.mutex);
          for (const auto& [_, d] : hub_.devices) {
            for (const std::string& tag : d.labels.tags) {
              Json& e = entry(tag);
              e["devices"] = e["devices"].get<int>() + 1;
            }
          }
        }
        for (const Holder& holder : site.holders) {
          for (const std::string& target : holder.devices) {
            if (ValidTag(target)) {
              Json& e = entry(target);
              e["holders"] = e["holders"].get<int>() + 1;
            }
          }
        }
        for (const auto& [tag, lists] : site.tagLists) {
          Json& e = entry(tag);
          for (ListKind kind : {ListKind::kGroups, ListKind::kSchedules}) {
            if (const auto& list = lists[static_cast<std::size_t>(kind)]) {
              e[ListName(kind)] = list->size();
            }
          }
        }
        Json list = Json::array();
        for (auto& [_, e] : tags) {
          list.push_back(std::move(e));
        }
        return JsonReply(200, {{"tags", std::move(list)}});
      }));

  for (ListKind kind : {ListKind::kGroups, ListKind::kSchedules}) {
    const std::string route = std::string("/api/v1/tags/{tag}/") + ListName(kind);
    Add("GET", route, Stored([this, kind](const Req& req) {
          const std::string tag = TagParam(req.matches[1]);
          Site site;
          {
            std::lock_guard db(dbMutex_);
            site = LoadSite(*db_);
          }
          const auto found = site.tagLists.find(tag);
          if (found == site.tagLists.end() || !found->second[static_cast<std::size_t>(kind)]) {
            Fail(404, std::string("no ") + ListName(kind) + " list for tag " + tag);
          }
          return JsonReply(200, *found->second[static_cast<std::size_t>(kind)]);
        }));
    Add("PUT", route, Stored([this, kind](const Req& req) {
          const std::string tag = TagParam(req.matches[1]);
          const Json records = RecordsOf(kind, ParseBody(req));
          const std::string at = IsoTime(NowMs());
          SiteChange change;
          change.audit =
              Audited(req, std::nullopt,
                      {{"tag", tag}, {"list", ListName(kind)}, {"records", records.size()}});
          change.write = [&](Json&) { SaveTagList(*db_, tag, kind, records, at); };
          Json changes = ChangeSite(std::move(change));
          return JsonReply(
              200,
              WithChanges({{"tag", tag}, {"list", ListName(kind)}, {"records", records.size()}},
                          std::move(changes)));
        }));
    Add("DELETE", route, Stored([this, kind](const Req& req) {
          const std::string tag = TagParam(req.matches[1]);
          SiteChange change;
          change.audit = Audited(req, std::nullopt, {{"tag", tag}, {"list", ListName(kind)}});
          change.write = [&](Json&) { SaveTagList(*db_, tag, kind, std::nullopt, ""); };
          Json changes = ChangeSite(std::move(change));
          return JsonReply(200,
                           WithChanges({{"tag", tag}, {"list", ListName(kind)}, {"deleted", true}},
                                       std::move(changes)));
        }));
  }
}

}  // namespace velkor::gateway
