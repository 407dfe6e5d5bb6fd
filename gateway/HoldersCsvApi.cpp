// The holders as CSV: the export, and the import that replaces the site's holders with a file's,
// all or nothing, with a dry run that shows what it would change.
#include <algorithm>

#include "Api.h"
#include "ApiSupport.h"
#include "HoldersCsv.h"
#include "Log.h"
#include "SiteStore.h"
#include "Store.h"

namespace velkor::gateway {
namespace {

HttpResponse FaultReply(const CsvFault& fault) {
  return JsonReply(400, {{"error", fault.Text()},
                         {"line", fault.line},
                         {"column", fault.column.empty() ? Json(nullptr) : Json(fault.column)}});
}

Json Named(const Holder& holder, bool withId) {
  Json j = {{"name", holder.name}, {"cardNumber", holder.cardNumber}};
  if (withId) {
    j["id"] = holder.id;
  }
  return j;
}

}  // namespace

void Api::HolderCsvRoutes() {
  Add("GET", "/api/v1/holders.csv", Stored([this](const HttpRequest&) {
        std::vector<Holder> holders;
        {
          std::lock_guard db(dbMutex_);
          holders = LoadSite(*db_).holders;
        }
        std::sort(holders.begin(), holders.end(),
                  [](const Holder& a, const Holder& b) { return a.id < b.id; });
        HttpResponse res;
        res.contentType = "text/csv; charset=utf-8";
        res.headers["Content-Disposition"] = "attachment; filename=\"holders.csv\"";
        res.body = HoldersToCsv(holders);
        return res;
      }));

  // The file's holders replace the stored ones, as PlanImport matches them.
  Add("POST", "/api/v1/holders.csv", Stored([this](const HttpRequest& req) -> HttpResponse {
        const std::string dry = req.HasParam("dry_run") ? req.Param("dry_run") : "0";
        if (dry != "0" && dry != "1") {
          Fail(400, "dry_run must be 0 or 1");
        }
        CsvFault fault;
        auto rows = HoldersFromCsv(req.body, fault);
        if (!rows) {
          return FaultReply(fault);
        }
        Json added = Json::array(), changed = Json::array(), removed = Json::array();
        SiteChange change;
        change.dryRun = dry == "1";
        change.audit = Audited(req, std::nullopt, {});
        const std::string at = IsoTime(NowMs());
        change.write = [&](Json& detail) {
          auto plan = PlanImport(LoadSite(*db_).holders, *rows, fault);
          if (!plan) {
            throw fault;
          }
          for (const Holder& holder : plan->removed) {
            DeleteHolder(*db_, holder.id);
            removed.push_back(Named(holder, true));
          }
          for (const Holder& holder : plan->changed) {
            ParkHolderCard(*db_, holder.id);
          }
          for (Holder& holder : plan->changed) {
            holder.updatedAt = at;
            UpdateHolder(*db_, holder);
            changed.push_back(Named(holder, true));
          }
          for (Holder& holder : plan->added) {
            holder.createdAt = holder.updatedAt = at;
            holder.id = InsertHolder(*db_, holder);
            added.push_back(Named(holder, false));
          }
          detail = {
              {"added", added.size()}, {"changed", changed.size()}, {"removed", removed.size()}};
        };
        Json lists;
        try {
          lists = ChangeSite(std::move(change));
        } catch (const CsvFault& late) {
          return FaultReply(late);
        }
        if (dry == "0") {
          LogInfo("holders imported by " + req.principal.name + ": " +
                  std::to_string(added.size()) + " added, " + std::to_string(changed.size()) +
                  " changed, " + std::to_string(removed.size()) + " removed");
        }
        return JsonReply(200, {{"dry_run", dry == "1"},
                               {"added", std::move(added)},
                               {"changed", std::move(changed)},
                               {"removed", std::move(removed)},
                               {"lists_changed", std::move(lists)}});
      }));
}

}  // namespace velkor::gateway
