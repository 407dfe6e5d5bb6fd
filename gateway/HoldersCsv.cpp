#include "HoldersCsv.h"

#include <algorithm>
#include <charconv>
#include <map>

#include "Csv.h"

namespace velkor::gateway {
namespace {

constexpr const char* kFlags[] = {"flag0", "flag1", "flag2", "flag3", "flag4", "flag7", "flag6"};
constexpr const char* kNumbers[] = {"cardNumber", "year", "month", "day", "hour", "param"};

template <typename List>
bool Among(const List& list, const std::string& name) {
  return std::find(std::begin(list), std::end(list), name) != std::end(list);
}

std::optional<std::int64_t> WholeNumber(const std::string& text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while ((at = text.find_first_not_of(' ', at)) != std::string::npos) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

// A spreadsheet takes a cell that starts with = + - @, a tab or a CR for a formula, and a
// holder's name or note is anyone's text. Such a text goes out behind an apostrophe, which
// spreadsheets show as text, and comes back without it. A text whose apostrophes already stand
// before such a character gains one more, so that every text comes back as it went out; "'t
// Hooft" is left as it is both ways.
bool FormulaLike(std::string_view text) {
  const std::size_t start = text.find_first_not_of('\'');
  return start != std::string_view::npos &&
         std::string_view("=+-@\t\r").find(text[start]) != std::string_view::npos;
}

std::string Defused(std::string text) {
  if (FormulaLike(text)) {
    text.insert(0, 1, '\'');
  }
  return text;
}

std::string Undefused(std::string text) {
  if (!text.empty() && text.front() == '\'' && FormulaLike(text)) {
    text.erase(0, 1);
  }
  return text;
}

// One row as the API's holder body; nullopt with `fault` set.
std::optional<Json> RowBody(const std::vector<std::string>& header, const CsvRecord& record,
                            CsvFault& fault) {
  Json body = Json::object();
  for (std::size_t i = 0; i < header.size(); ++i) {
    const std::string& column = header[i];
    const std::string& cell = record.fields[i];
    fault = {record.line, column, ""};
    if (column == "id") {
      continue;
    }
    if (Among(kNumbers, column)) {
      if (cell.empty() && column != "cardNumber") {
        continue;  // as in a zeroed card
      }
      const auto number = WholeNumber(cell);
      if (!number) {
        fault.message = "must be a whole number";
        return std::nullopt;
      }
      body[column] = *number;
    } else if (Among(kFlags, column)) {
      if (cell != "" && cell != "true" && cell != "false") {
        fault.message = "must be true or false";
        return std::nullopt;
      }
      body[column] = cell == "true";
    } else if (column == "devices") {
      body[column] = Words(Undefused(cell));
    } else {
      body[column] = Undefused(cell);
    }
  }
  fault = {};
  return body;
}

}  // namespace

std::string CsvFault::Text() const {
  return "line " + std::to_string(line) + (column.empty() ? "" : ", column " + column) + ": " +
         message;
}

std::string HoldersToCsv(const std::vector<Holder>& holders) {
  std::string text =
      CsvLine(std::vector<std::string>(std::begin(kHolderCsvColumns), std::end(kHolderCsvColumns)));
  for (const Holder& holder : holders) {
    std::vector<std::string> fields;
    for (const char* column : kHolderCsvColumns) {
      const std::string name = column;
      if (name == "id") {
        fields.push_back(std::to_string(holder.id));
      } else if (name == "name") {
        fields.push_back(Defused(holder.name));
      } else if (name == "note") {
        fields.push_back(Defused(holder.note));
      } else if (name == "devices") {
        std::string devices;
        for (const std::string& target : holder.devices) {
          devices += (devices.empty() ? "" : " ") + target;
        }
        fields.push_back(Defused(devices));  // a tag may start with "-"
      } else {
        const Json& value = holder.card.at(name);
        fields.push_back(value.is_string() ? value.get<std::string>() : value.dump());
      }
    }
    text += CsvLine(fields);
  }
  return text;
}

std::optional<std::vector<HolderRow>> HoldersFromCsv(std::string_view text, CsvFault& fault) {
  CsvError error;
  CsvLimits limits;
  limits.records = kMaxHolders + 1;  // and the header
  limits.fields = std::size(kHolderCsvColumns);
  const auto records = ParseCsv(text, limits, error);
  if (!records) {
    fault = {error.line, "", error.message};
    return std::nullopt;
  }
  if (records->empty()) {
    fault = {1, "", "no header row"};
    return std::nullopt;
  }
  const CsvRecord& head = records->front();
  const std::vector<std::string>& header = head.fields;
  for (std::size_t i = 0; i < header.size(); ++i) {
    if (!Among(kHolderCsvColumns, header[i])) {
      fault = {head.line, header[i], "is not a column of holders"};
      return std::nullopt;
    }
    if (std::find(header.begin(), header.begin() + static_cast<std::ptrdiff_t>(i), header[i]) !=
        header.begin() + static_cast<std::ptrdiff_t>(i)) {
      fault = {head.line, header[i], "is given twice"};
      return std::nullopt;
    }
  }
  for (const char* required : {"name", "cardNumber"}) {
    if (!Among(header, required)) {
      fault = {head.line, required, "is missing from the header"};
      return std::nullopt;
    }
  }
  const auto idColumn = std::find(header.begin(), header.end(), "id");
  std::vector<HolderRow> rows;
  std::map<std::int64_t, std::size_t> cardLines, idLines;
  for (auto record = records->begin() + 1; record != records->end(); ++record) {
    if (record->fields.size() != header.size()) {
      fault = {record->line, "",
               "has " + std::to_string(record->fields.size()) + " fields, the header " +
                   std::to_string(header.size())};
      return std::nullopt;
    }
    const auto body = RowBody(header, *record, fault);
    if (!body) {
      return std::nullopt;
    }
    FieldError field;
    auto holder = HolderFromJson(*body, field);
    if (!holder) {
      // "devices[2]" is the column "devices".
      fault = {record->line, field.field.substr(0, field.field.find('[')), field.problem};
      return std::nullopt;
    }
    if (idColumn != header.end()) {
      const std::string& cell = record->fields[static_cast<std::size_t>(idColumn - header.begin())];
      const auto id = cell.empty() ? std::optional<std::int64_t>(0) : WholeNumber(cell);
      if (!id || *id < 0) {
        fault = {record->line, "id", "must be empty or a holder's id"};
        return std::nullopt;
      }
      holder->id = *id;
    }
    const auto seen = [&](std::map<std::int64_t, std::size_t>& lines, std::int64_t key,
                          const char* column, const std::string& what) {
      const auto [found, fresh] = lines.try_emplace(key, record->line);
      if (!fresh) {
        fault = {record->line, column, what + " is also on line " + std::to_string(found->second)};
      }
      return !fresh;
    };
    if (seen(cardLines, holder->cardNumber, "cardNumber",
             "card " + std::to_string(holder->cardNumber)) ||
        (holder->id != 0 &&
         seen(idLines, holder->id, "id", "holder " + std::to_string(holder->id)))) {
      return std::nullopt;
    }
    rows.push_back({record->line, std::move(*holder)});
  }
  return rows;
}

std::optional<ImportPlan> PlanImport(const std::vector<Holder>& stored,
                                     const std::vector<HolderRow>& rows, CsvFault& fault) {
  std::map<std::int64_t, const Holder*> byId, byCard;
  for (const Holder& holder : stored) {
    byId[holder.id] = &holder;
    byCard[holder.cardNumber] = &holder;
  }
  ImportPlan plan;
  std::map<std::int64_t, std::size_t> claimed;  // a stored holder's id, and its row's line
  for (const HolderRow& row : rows) {
    Holder holder = row.holder;
    const auto& index = holder.id != 0 ? byId : byCard;
    const auto found = index.find(holder.id != 0 ? holder.id : holder.cardNumber);
    if (found == index.end() && holder.id != 0) {
      fault = {row.line, "id", "no holder " + std::to_string(holder.id)};
      return std::nullopt;
    }
    if (found == index.end()) {
      plan.added.push_back(std::move(holder));
      continue;
    }
    const Holder& before = *found->second;
    if (const auto [other, fresh] = claimed.try_emplace(before.id, row.line); !fresh) {
      fault = {row.line, holder.id != 0 ? "id" : "cardNumber",
               "holder " + std::to_string(before.id) + " is also on line " +
                   std::to_string(other->second)};
      return std::nullopt;
    }
    holder.id = before.id;
    holder.createdAt = before.createdAt;
    if (holder.name != before.name || holder.note != before.note || holder.card != before.card ||
        holder.devices != before.devices) {
      plan.changed.push_back(std::move(holder));
    }
  }
  for (const Holder& holder : stored) {
    if (claimed.count(holder.id) == 0) {
      plan.removed.push_back(holder);
    }
  }
  return plan;
}

}  // namespace velkor::gateway
