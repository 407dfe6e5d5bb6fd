#include "Csv.h"

#include <csv.h>

#include <exception>
#include <new>
#include <utility>

namespace velkor::gateway {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// How many bytes at the start of `bytes` are well-formed UTF-8: no overlong forms, no
// surrogates, nothing past U+10FFFF, no sequence cut short.
std::size_t Utf8Prefix(std::string_view bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80) {
      ++at;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;  // the bounds of the second byte; the others are 0x80..0xBF
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      low = lead == 0xE0 ? 0xA0 : 0x80;
      high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      low = lead == 0xF0 ? 0x90 : 0x80;
      high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
      return at;
    }
    if (bytes.size() - at < length) {
      return at;
    }
    for (std::size_t i = 1; i < length; ++i) {
      const auto next = static_cast<unsigned char>(bytes[at + i]);
      if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
        return at;
      }
    }
    at += length;
  }
  return at;
}

// libcsv's parser for one text, strict, keeping spaces: freed however the reading ends.
class Parser {
 public:
  Parser() {
    if (csv_init(&parser_, CSV_STRICT | CSV_STRICT_FINI) != 0) {
      throw std::bad_alloc();
    }
    csv_set_space_func(&parser_, [](unsigned char) { return 0; });
  }
  ~Parser() { csv_free(&parser_); }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  csv_parser* get() { return &parser_; }

 private:
  csv_parser parser_{};
};

// What libcsv's callbacks build. They run inside libcsv's C code, so nothing may be thrown out of
// them: an exception is kept and thrown again once csv_parse has returned.
struct Reader {
  Reader(CsvLimits bounds, CsvError& fault) : limits(bounds), error(fault) {}

  void Fail(std::size_t where, std::string message) {
    failed = true;
    error = {where, std::move(message)};
  }

  void Field(const void* bytes, std::size_t size) {
    if (size > limits.fieldBytes) {
      Fail(line, "a field longer than " + std::to_string(limits.fieldBytes) + " bytes");
    } else if (record.fields.size() == limits.fields) {
      Fail(line, "more than " + std::to_string(limits.fields) + " fields in a record");
    } else {
      record.fields.emplace_back(size == 0 ? "" : static_cast<const char*>(bytes), size);
    }
  }

  void End() {
    records.push_back(std::move(record));
    record = {};
    between = true;
  }

  template <typename Step>
  void Guarded(Step step) noexcept {
    if (failed) {
      return;
    }
    try {
      step();
    } catch (...) {
      failed = true;
      thrown = std::current_exception();
    }
  }

  void Rethrow() const {
    if (thrown) {
      std::rethrow_exception(thrown);
    }
  }

  CsvLimits limits;
  CsvError& error;
  std::vector<CsvRecord> records;
  CsvRecord record;      // the one being read
  std::size_t line = 1;  // the line being fed
  bool between = true;   // no record begun since the last one ended
  bool failed = false;
  std::exception_ptr thrown;
};

void OnField(void* bytes, std::size_t size, void* reader) {
  auto& r = *static_cast<Reader*>(reader);
  r.Guarded([&] { r.Field(bytes, size); });
}

void OnRecordEnd(int, void* reader) {
  auto& r = *static_cast<Reader*>(reader);
  r.Guarded([&] { r.End(); });
}

bool IsLineEnd(char c) {
  return c == '\r' || c == '\n';
}
bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::optional<std::vector<CsvRecord>> ParseCsv(std::string_view text, CsvLimits limits,
                                               CsvError& error) {
  if (text.starts_with(kByteOrderMark)) {
    text.remove_prefix(kByteOrderMark.size());
  }
  Parser parser;
  Reader reader(limits, error);
  // Fed in pieces that end after each CR and LF. libcsv ends a record only on one of those, the
  // last byte of a piece, and a field on a comma or the same: every callback comes from the
  // line being fed, reader.line. A piece that starts outside a record with anything but a line
  // end starts the next record on that line.
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t stop = text.find_first_of("\r\n", at);
    const std::size_t end = stop == std::string_view::npos ? text.size() : stop + 1;
    const std::string_view piece = text.substr(at, end - at);
    at = end;
    if (reader.between && !IsLineEnd(piece.front())) {
      if (reader.records.size() == limits.records) {
        reader.Fail(reader.line, "more than " + std::to_string(limits.records) + " records");
        return std::nullopt;
      }
      reader.between = false;
      reader.record.line = reader.line;
    }
    const std::size_t valid = Utf8Prefix(piece);
    const std::size_t parsed =
        csv_parse(parser.get(), piece.data(), valid, OnField, OnRecordEnd, &reader);
    reader.Rethrow();
    if (reader.failed) {
      return std::nullopt;
    }
    if (parsed < valid) {
      if (csv_error(parser.get()) != CSV_EPARSE) {
        throw std::bad_alloc();  // libcsv could not grow its field buffer
      }
      // Strict mode stops on the byte at fault: a quote in a field that did not start with one,
      // or anything but a comma or a line end after a quoted field's closing quote.
      reader.Fail(reader.line, piece[parsed] == '"' ? "a quote inside an unquoted field"
                                                    : "text after the closing quote of a field");
      return std::nullopt;
    }
    if (valid < piece.size()) {
      reader.Fail(reader.line, "not UTF-8");
      return std::nullopt;
    }
    if (piece.back() == '\n') {
      ++reader.line;
    }
  }
  // What is left ends the last record; a quoted field still open there is never closed.
  csv_fini(parser.get(), OnField, OnRecordEnd, &reader);
  reader.Rethrow();
  if (reader.failed) {
    return std::nullopt;
  }
  if (csv_error(parser.get()) == CSV_EPARSE) {
    const std::size_t last = text.ends_with('\n') ? reader.line - 1 : reader.line;
    reader.Fail(last, "a quoted field is not closed (its record starts on line " +
                          std::to_string(reader.record.line) + ")");
    return std::nullopt;
  }
  return std::move(reader.records);
}

std::string CsvLine(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string& field = fields[i];
    // An empty field alone would be a blank line, which reads back as no record at all; one
    // that starts with the byte-order mark would lose it on the first line of a text.
    const bool quoted = field.find_first_of(",\"\r\n") != std::string::npos ||
                        (!field.empty() && (IsBlank(field.front()) || IsBlank(field.back()))) ||
                        (field.empty() && fields.size() == 1) || field.starts_with(kByteOrderMark);
    if (i > 0) {
      line += ',';
    }
    if (!quoted) {
      line += field;
      continue;
    }
    line += '"';
    for (const char c : field) {
      if (c == '"') {
        line += '"';
      }
      line += c;
    }
    line += '"';
  }
  line += "\r\n";
  return line;
}

}  // namespace velkor::gateway
