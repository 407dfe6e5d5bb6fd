#include "Audit.h"

#include "Store.h"

namespace velkor::gateway {

void InsertAudit(Database& db, const AuditEntry& entry) {
  std::optional<std::string> device;
  if (entry.device) {
    device = SerialText(*entry.device);
  }
  db.Prepare(
        "INSERT INTO audit (at, actor, address, method, route, device, detail, status) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?)")
      .Bind(IsoTime(NowMs()), entry.actor, entry.address, entry.method, entry.route, device,
            JsonText(entry.detail), entry.status)
      .Run();
}

Json ListAudit(Database& db, std::optional<std::uint64_t> device, std::int64_t after,
               std::size_t limit) {
  // Literals: the connection keeps each statement by its text's address.
  Statement& select =
      device
          ? db.Prepare(
                "SELECT id, at, actor, address, method, route, device, detail, status FROM audit "
                "WHERE device = ? AND id > ? ORDER BY id LIMIT ?")
          : db.Prepare(
                "SELECT id, at, actor, address, method, route, device, detail, status FROM audit "
                "WHERE id > ? ORDER BY id LIMIT ?");
  const auto count = static_cast<std::int64_t>(limit);
  if (device) {
    select.Bind(SerialText(*device), after, count);
  } else {
    select.Bind(after, count);
  }
  Json entries = Json::array();
  while (select.Step()) {
    Json detail = Json::parse(select.Text(7), nullptr, false);
    entries.push_back({{"id", select.Int(0)},
                       {"at", select.Text(1)},
                       {"actor", select.Text(2)},
                       {"address", select.Text(3)},
                       {"method", select.Text(4)},
                       {"route", select.Text(5)},
                       {"device", select.IsNull(6) ? Json(nullptr) : Json(select.Text(6))},
                       {"detail", detail.is_discarded() ? Json(select.Text(7)) : detail},
                       {"status", select.Int(8)}});
  }
  return entries;
}

}  // namespace velkor::gateway
