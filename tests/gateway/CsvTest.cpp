// CSV as the holders' import reads it and their export writes it: quoting, line ends, the
// byte-order mark and the line each record starts on; the first fault of a bad text and the
// line it is on; and what CsvLine writes reads back as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Csv.h"
#include "HoldersCsv.h"

namespace velkor::gateway {
namespace {

using Fields = std::vector<std::string>;

struct Expected {
  std::size_t line;
  Fields fields;
};

TEST(Csv, ReadsRecordsAndTheirLines) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<Expected> records;
    CsvLimits limits = {};
  };
  const std::vector<Case> cases = {
      {"CRLF", "id,name\r\n7,Zoë Ørsted\r\n", {{1, {"id", "name"}}, {2, {"7", "Zoë Ørsted"}}}},
      {"LF, no last line end", "a,b\nc,d", {{1, {"a", "b"}}, {2, {"c", "d"}}}},
      {"commas and doubled quotes",
       "\"Ørsted, Zoë\",\"say \"\"hi\"\"\",\"\"\"\"\n",
       {{1, {"Ørsted, Zoë", "say \"hi\"", "\""}}}},
      {"line breaks inside quotes",
       "id,note\r\n1,\"two\r\nlines\"\r\n2,\"and\nthree\nlines\"\n3,end\n\"x\ny\"",
       {{1, {"id", "note"}},
        {2, {"1", "two\r\nlines"}},
        {4, {"2", "and\nthree\nlines"}},
        {7, {"3", "end"}},
        {8, {"x\ny"}}}},
      {"byte-order mark", "\xEF\xBB\xBFname\r\nx\r\n", {{1, {"name"}}, {2, {"x"}}}},
      {"empty fields", ",,\n\"\",x,\n", {{1, {"", "", ""}}, {2, {"", "x", ""}}}},
      {"spaces kept", " a ,\tb\t, \n", {{1, {" a ", "\tb\t", " "}}}},
      {"blank lines skipped", "a\n\nb\r\n\r\n\nc\n\n", {{1, {"a"}}, {3, {"b"}}, {6, {"c"}}}},
      {"nothing", "", {}},
      {"at every limit",
       "123,5678,\"1234\n678\"\n1\n2\n",
       {{1, {"123", "5678", "1234\n678"}}, {3, {"1"}}, {4, {"2"}}},
       {3, 3, 8}},
  };
  for (const Case& c : cases) {
    CsvError error;
    const auto records = ParseCsv(c.text, c.limits, error);
    ASSERT_TRUE(records) << c.name << ": line " << error.line << ": " << error.message;
    ASSERT_EQ(records->size(), c.records.size()) << c.name;
    for (std::size_t i = 0; i < c.records.size(); ++i) {
      EXPECT_EQ((*records)[i].line, c.records[i].line) << c.name << ", record " << i;
      EXPECT_EQ((*records)[i].fields, c.records[i].fields) << c.name << ", record " << i;
    }
  }
}

TEST(Csv, NamesTheFirstFaultAndItsLine) {
  struct Case {
    const char* name;
    std::string text;
    std::size_t line;
    const char* message;
  };
  const char* quote = "a quote inside an unquoted field";
  const char* after = "text after the closing quote of a field";
  const std::vector<Case> cases = {
      {"stray quote", "a,b\nc,d\"e\n", 2, quote},
      {"quote after a space", "a, \"b\"\n", 1, quote},
      {"text after a closing quote", "a\n\"b\"c\n", 2, after},
      {"space after a closing quote, below its start", "a\n\"x\ny\" \n", 3, after},
      {"quote never closed", "a\nb,\"open\nstill\n", 3,
       "a quoted field is not closed (its record starts on line 2)"},
      {"cut sequence", "ok\nZo\xC3\n", 2, "not UTF-8"},
      {"bad byte in a quoted field",
       "\xEF\xBB\xBF"
       "a\n\"b\nc\xFF\"\n",
       3, "not UTF-8"},
      {"overlong", "\xC0\xAF\n", 1, "not UTF-8"},
      {"surrogate", "a\n\xED\xA0\x80\n", 2, "not UTF-8"},
      {"past U+10FFFF", "\xF4\x90\x80\x80", 1, "not UTF-8"},
      {"quote before a bad byte", "a\"\xFF\n", 1, quote},
      {"too many fields", "a,b,c\nd,e,f,g\n", 2, "more than 3 fields in a record"},
      {"too many records", "1\n2\n\n3\n4\n", 5, "more than 3 records"},
      {"field too long", "a\n123456789\n", 2, "a field longer than 8 bytes"},
      {"quoted field too long", "a\n\"1234\n5678\",b\n", 3, "a field longer than 8 bytes"},
  };
  for (const Case& c : cases) {
    CsvError error;
    EXPECT_FALSE(ParseCsv(c.text, {3, 3, 8}, error)) << c.name;
    EXPECT_EQ(error.line, c.line) << c.name;
    EXPECT_EQ(error.message, c.message) << c.name;
  }
}

TEST(Csv, WrittenLinesReadBack) {
  EXPECT_EQ(CsvLine({"plain", "a,b", "say \"hi\"", "Zoë Ørsted", ""}),
            "plain,\"a,b\",\"say \"\"hi\"\"\",Zoë Ørsted,\r\n");
  const std::vector<Fields> written = {
      {"\xEF\xBB\xBF"
       "mark"},
      {""},
      {"", "two\r\nlines", "lf\nonly", "cr\r", " padded ", "\ttab", "\"", "\"\""},
      {"x", ""},
  };
  std::string text;
  for (const Fields& fields : written) {
    text += CsvLine(fields);
  }
  CsvError error;
  const auto records = ParseCsv(text, {}, error);
  ASSERT_TRUE(records) << "line " << error.line << ": " << error.message;
  ASSERT_EQ(records->size(), written.size());
  for (std::size_t i = 0; i < written.size(); ++i) {
    EXPECT_EQ((*records)[i].fields, written[i]) << "record " << i;
  }
}

// A name a spreadsheet would run as a formula goes out behind an apostrophe; every name comes
// back from the export as it went in.
TEST(Csv, HolderTextsThatLookLikeFormulasGoOutAsText) {
  const struct {
    const char* name;
    const char* written;  // the name's field in the export
  } cases[] = {
      {"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
      {"+1", "'+1"},
      {"-2", "'-2"},
      {"@me", "'@me"},
      {"'=x", "''=x"},
      {"'t Hooft", "'t Hooft"},
      {"Ann", "Ann"},
  };
  std::vector<Holder> holders;
  for (const auto& c : cases) {
    FieldError error;
    auto holder = HolderFromJson(
        {{"name", c.name}, {"note", c.name}, {"cardNumber", holders.size() + 1}}, error);
    ASSERT_TRUE(holder) << c.name << ": " << error.problem;
    holders.push_back(std::move(*holder));
  }
  const std::string text = HoldersToCsv(holders);
  CsvFault fault;
  const auto rows = HoldersFromCsv(text, fault);
  ASSERT_TRUE(rows) << fault.Text();
  ASSERT_EQ(rows->size(), holders.size());
  for (std::size_t i = 0; i < holders.size(); ++i) {
    EXPECT_NE(text.find(std::string(",") + cases[i].written + ","), std::string::npos)
        << cases[i].name << " in\n"
        << text;
    EXPECT_EQ((*rows)[i].holder.name, cases[i].name);
    EXPECT_EQ((*rows)[i].holder.note, cases[i].name);
  }
}

}  // namespace
}  // namespace velkor::gateway
