// The site's holders as CSV: one row a holder, a header row naming the columns, the card's
// fields named as in the card JSON and the devices a holder reaches as one field, separated by
// spaces ("hq floor-2 *"). An import names the first fault by its line and column.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Site.h"

namespace velkor::gateway {

// The columns an export writes, in order; an import takes them in any order, "name" and
// "cardNumber" required, the others as in a zeroed card when left out.
inline constexpr const char* kHolderCsvColumns[] = {
    "id",    "name",  "note",  "cardNumber", "password", "year",  "month", "day",   "hour",
    "param", "flag0", "flag1", "flag2",      "flag3",    "flag4", "flag7", "flag6", "devices"};

std::string HoldersToCsv(const std::vector<Holder>& holders);

struct CsvFault {
  std::size_t line = 0;
  std::string column;  // empty when the fault is the record's, not a field's
  std::string message;
  std::string Text() const;  // "line 3, column cardNumber: must be a whole number"
};

// A holder read from a row, with the line it is on; id 0 where the row gives none.
struct HolderRow {
  std::size_t line = 0;
  Holder holder;
};
// The rows of `text`, each checked as the API checks a holder; no two with one card or one id.
std::optional<std::vector<HolderRow>> HoldersFromCsv(std::string_view text, CsvFault& fault);

// What an import does to the stored holders: a row with an id is that holder, a row without one
// the holder that has its card, or a new one; a stored holder no row names is removed. Changed
// holders keep their ids and creation times; rows equal to their holder change nothing.
struct ImportPlan {
  std::vector<Holder> added, changed, removed;
};
// nullopt with `fault` set when a row names an id the store has not, or two rows one holder.
std::optional<ImportPlan> PlanImport(const std::vector<Holder>& stored,
                                     const std::vector<HolderRow>& rows, CsvFault& fault);

}  // namespace velkor::gateway
