#include "SiteStore.h"

#include "Records.h"

namespace velkor::gateway {
namespace {

constexpr const char* kHolderColumns =
    "SELECT id, name, note, card, devices, created_at, updated_at FROM holders ";

Holder ReadHolder(const Statement& row) {
  Holder holder;
  holder.id = row.Int(0);
  holder.name = row.Text(1);
  holder.note = row.Text(2);
  holder.card = Json::parse(row.Text(3));
  holder.cardNumber = holder.card.value("cardNumber", std::int64_t{0});
  holder.devices = Json::parse(row.Text(4)).get<std::vector<std::string>>();
  holder.createdAt = row.Text(5);
  holder.updatedAt = row.Text(6);
  return holder;
}

}  // namespace

std::int64_t StepSiteVersion(Database& db) {
  Statement& s = db.Prepare("UPDATE site SET version = version + 1 WHERE id = 1 RETURNING version");
  s.Bind();
  if (!s.Step()) {
    throw DatabaseError("the site's version row is missing");
  }
  const std::int64_t version = s.Int(0);
  s.Run();
  return version;
}

std::int64_t SiteVersion(Database& db) {
  return db.Prepare("SELECT version FROM site WHERE id = 1").FirstInt().value_or(0);
}

Site LoadSite(Database& db) {
  Site site;
  static const std::string byCard = std::string(kHolderColumns) + "ORDER BY card_number";
  Statement& holders = db.Prepare(byCard.c_str());
  holders.Bind();
  while (holders.Step()) {
    site.holders.push_back(ReadHolder(holders));
  }
  Statement& lists = db.Prepare("SELECT tag, kind, body FROM tag_lists");
  lists.Bind();
  while (lists.Step()) {
    if (const auto kind = ParseListName(lists.Text(1)); kind && *kind != ListKind::kCards) {
      site.tagLists[lists.Text(0)][static_cast<std::size_t>(*kind)] = Json::parse(lists.Text(2));
    }
  }
  return site;
}

std::optional<Holder> LoadHolder(Database& db, std::int64_t id) {
  static const std::string byId = std::string(kHolderColumns) + "WHERE id = ?";
  Statement& s = db.Prepare(byId.c_str());
  s.Bind(id);
  std::optional<Holder> holder = s.Step() ? std::optional(ReadHolder(s)) : std::nullopt;
  s.Reset();
  return holder;
}

std::optional<std::int64_t> HolderOfCard(Database& db, std::int64_t cardNumber) {
  return db.Prepare("SELECT id FROM holders WHERE card_number = ?").FirstInt(cardNumber);
}

std::int64_t CountHolders(Database& db) {
  return db.Prepare("SELECT COUNT(*) FROM holders").FirstInt().value_or(0);
}

StoredDevices LoadStoredDevices(Database& db) {
  StoredDevices stored;
  Statement& lists = db.Prepare("SELECT device, kind, version, mode FROM lists");
  lists.Bind();
  while (lists.Step()) {
    const auto serial = ParseSerial(lists.Text(0));
    if (const auto kind = ParseListName(lists.Text(1)); serial && kind) {
      stored.lists[{*serial, *kind}] = {lists.Int(2), lists.Text(3) == "derived"};
    }
  }
  Statement& labels = db.Prepare("SELECT device, tags FROM device_labels");
  labels.Bind();
  while (labels.Step()) {
    if (const auto serial = ParseSerial(labels.Text(0))) {
      stored.tags[*serial] = Json::parse(labels.Text(1)).get<std::vector<std::string>>();
    }
  }
  return stored;
}

Json LoadListRecords(Database& db, std::uint64_t serial, ListKind kind) {
  Statement& s = db.Prepare("SELECT body FROM lists WHERE device = ? AND kind = ?");
  s.Bind(SerialText(serial), ListName(kind));
  Json records = s.Step() ? Json::parse(s.Text(0)) : Json::array();
  s.Reset();
  return records;
}

std::unordered_map<std::int64_t, std::string> HolderNames(Database& db) {
  Statement& s = db.Prepare("SELECT card_number, name FROM holders");
  s.Bind();
  std::unordered_map<std::int64_t, std::string> names;
  while (s.Step()) {
    names.emplace(s.Int(0), s.Text(1));
  }
  return names;
}

std::int64_t InsertHolder(Database& db, const Holder& holder) {
  Statement& s = db.Prepare(
      "INSERT INTO holders (name, note, card_number, card, devices, created_at, updated_at) "
      "VALUES (?, ?, ?, ?, ?, ?, ?) RETURNING id");
  s.Bind(holder.name, holder.note, holder.cardNumber, holder.card.dump(),
         Json(holder.devices).dump(), holder.createdAt, holder.updatedAt);
  if (!s.Step()) {
    throw DatabaseError("the holder got no id");
  }
  const std::int64_t id = s.Int(0);
  s.Run();
  return id;
}

bool UpdateHolder(Database& db, const Holder& holder) {
  Statement& s = db.Prepare(
      "UPDATE holders SET name = ?, note = ?, card_number = ?, card = ?, devices = ?, "
      "updated_at = ? WHERE id = ?");
  s.Bind(holder.name, holder.note, holder.cardNumber, holder.card.dump(),
         Json(holder.devices).dump(), holder.updatedAt, holder.id)
      .Run();
  return s.Changes() > 0;
}

bool DeleteHolder(Database& db, std::int64_t id) {
  Statement& s = db.Prepare("DELETE FROM holders WHERE id = ?");
  s.Bind(id).Run();
  return s.Changes() > 0;
}

void ParkHolderCard(Database& db, std::int64_t id) {
  db.Prepare("UPDATE holders SET card_number = -id WHERE id = ?").Bind(id).Run();
}

void SaveLabels(Database& db, std::uint64_t serial, const DeviceLabels& labels,
                const std::string& at) {
  db.Prepare(
        "INSERT INTO device_labels (device, name, tags, updated_at) VALUES (?, ?, ?, ?) "
        "ON CONFLICT (device) DO UPDATE SET name = excluded.name, tags = excluded.tags, "
        "updated_at = excluded.updated_at")
      .Bind(SerialText(serial), labels.name, Json(labels.tags).dump(), at)
      .Run();
}

void SaveTagList(Database& db, const std::string& tag, ListKind kind,
                 const std::optional<Json>& records, const std::string& at) {
  if (!records) {
    db.Prepare("DELETE FROM tag_lists WHERE tag = ? AND kind = ?").Bind(tag, ListName(kind)).Run();
    return;
  }
  db.Prepare(
        "INSERT INTO tag_lists (tag, kind, body, updated_at) VALUES (?, ?, ?, ?) "
        "ON CONFLICT (tag, kind) DO UPDATE SET body = excluded.body, "
        "updated_at = excluded.updated_at")
      .Bind(tag, ListName(kind), records->dump(), at)
      .Run();
}

}  // namespace velkor::gateway
