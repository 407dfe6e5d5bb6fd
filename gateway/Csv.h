// CSV as RFC 4180 has it (fields quoted with ", "" for a quote inside, commas and line breaks
// inside quoted fields), UTF-8: read with libcsv in its strict mode and written by the same
// rules. The holders' import and export go through it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velkor::gateway {

struct CsvRecord {
  std::size_t line = 0;  // the line (1-based) on which the record starts
  std::vector<std::string> fields;
};

struct CsvError {
  std::size_t line = 0;  // where the fault was found, 1-based
  std::string message;   // e.g. "a quote inside an unquoted field", "not UTF-8"
};

// What one text may hold; past any of them the text is refused rather than cut.
struct CsvLimits {
  std::size_t records = 10000;
  std::size_t fields = 64;  // per record
  std::size_t fieldBytes = 4096;
};

// The records of `text`, or nullopt with `error` set to the first fault in the text: a quote in
// an unquoted field, text after a closing quote, a quoted field never closed, bytes that are not
// UTF-8, a record with more than limits.fields fields, a field longer than limits.fieldBytes, or
// more than limits.records records. Errors name the line they were found on; a quoted field left
// open is found at the end of the text, and its message names the line its record starts on.
//
// A UTF-8 byte-order mark at the start is skipped. Lines end with CRLF or LF (a lone CR ends a
// record too); the last line needs no line end. Blank lines are no records, anywhere in the text:
// a record of one empty field is written as "" (CsvLine does). Spaces and tabs around fields are
// kept as they are; outside the quotes of a quoted field they are an error.
std::optional<std::vector<CsvRecord>> ParseCsv(std::string_view text, CsvLimits limits,
                                               CsvError& error);

// One record as CSV text ending in CRLF. A field is quoted only when it has to be: when it holds
// a comma, a quote, CR or LF, starts or ends with a space or a tab, or is the only field of the
// record and empty (which would otherwise be a blank line). Quotes inside are doubled.
std::string CsvLine(const std::vector<std::string>& fields);

}  // namespace velkor::gateway
