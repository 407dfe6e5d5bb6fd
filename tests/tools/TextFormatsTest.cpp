// The JSON reader and writer and the hex reader: what they accept, and hostile input refused
// without reading out of bounds.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "Hex.h"
#include "Json.h"
#include "VectorsFile.h"

namespace {

using velkor::inspect::Json;
using velkor::inspect::ParseHex;
using velkor::inspect::ReadJson;
using velkor::inspect::WriteJson;

std::string Error(const std::string& text, std::size_t max_bytes = 1 << 20, int depth = 64) {
  std::string error;
  EXPECT_FALSE(ReadJson(text, error, max_bytes, depth)) << text;
  return error;
}

TEST(Json, TheVectorsFileReadsAndWritesBackByteForByte) {
  std::ifstream file(velkor::test::VectorsFolder() + "/vectors.json", std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  std::string error;
  const std::optional<Json> document = ReadJson(text.str(), error);
  ASSERT_TRUE(document) << error;
  EXPECT_EQ(WriteJson(*document) + "\n", text.str());
}

TEST(Json, ScalarsEscapesAndIntegerLimits) {
  std::string error;
  const std::optional<Json> j = ReadJson(
      R"({"a": [true, false, null, -9223372036854775808, 9223372036854775807, 0],
          "s": "q\"b\\s\/\n\t\u00e9\ud83d\ude00", "e": {}, "l": []})",
      error);
  ASSERT_TRUE(j) << error;
  const auto& a = j->Find("a")->items();
  EXPECT_TRUE(a[0].boolean());
  EXPECT_EQ(a[2].kind(), Json::Kind::kNull);
  EXPECT_EQ(a[3].integer(), INT64_MIN);
  EXPECT_EQ(a[4].integer(), INT64_MAX);
  EXPECT_EQ(j->Find("s")->text(), "q\"b\\s/\n\t\xC3\xA9\xF0\x9F\x98\x80");
  // Written and read again, every value comes back; object members compare in any order.
  const std::optional<Json> again = ReadJson(WriteJson(*j, 0), error);
  ASSERT_TRUE(again) << error;
  EXPECT_TRUE(*again == *j);
  EXPECT_TRUE(*ReadJson(R"({"x":1,"y":[1,2]})", error) == *ReadJson(R"({"y":[1,2],"x":1})", error));
  EXPECT_FALSE(*ReadJson("[1,2]", error) == *ReadJson("[2,1]", error));
  EXPECT_EQ(WriteJson(Json::Text(std::string("\x01\"", 2)), 0), "\"\\u0001\\\"\"");
}

TEST(Json, MalformedInputIsRefusedWithAReason) {
  EXPECT_EQ(Error("9223372036854775808"), "integer out of range at byte 19");
  EXPECT_EQ(Error("-9223372036854775809"), "integer out of range at byte 19");
  EXPECT_EQ(Error("1.5"), "only integers are read at byte 1");
  EXPECT_EQ(Error("01"), "leading zero at byte 0");
  EXPECT_EQ(Error("[1,]"), "unexpected character at byte 3");
  EXPECT_EQ(Error("{\"a\":1,\"a\":2}"), "duplicate member name at byte 12");
  EXPECT_EQ(Error("\"a\nb\""), "control character in string at byte 3");
  EXPECT_EQ(Error("\"\\ud800\""), "lone high surrogate at byte 7");
  EXPECT_EQ(Error("\"\\x\""), "unknown escape at byte 3");
  EXPECT_EQ(Error("[1] 2"), "unexpected content after the value at byte 4");
  EXPECT_EQ(Error("[[[1]]]", 1 << 20, 2), "nesting too deep at byte 3");
  EXPECT_EQ(Error("[1, 2]", 5), "input longer than 5 bytes");
  EXPECT_EQ(Error(""), "unexpected end of input at byte 0");
}

TEST(Json, DeepNestingStopsAtTheLimitWithoutExhaustingTheStack) {
  EXPECT_EQ(Error(std::string(100000, '[')), "nesting too deep at byte 65");
}

// Every prefix of a valid document is incomplete and must be refused within bounds.
TEST(Json, EveryTruncationIsRefused) {
  const std::string text = R"({"k": ["a\u0041", -12, {"n": null, "t": true}], "s": "x\\y"})";
  std::string error;
  ASSERT_TRUE(ReadJson(text, error));
  for (std::size_t n = 0; n < text.size(); ++n) {
    const std::string cut = text.substr(0, n);
    EXPECT_FALSE(ReadJson(cut, error)) << cut;
  }
}

TEST(Hex, SeparatorsPrefixesAndErrors) {
  std::string error;
  EXPECT_EQ(*ParseHex("F8 00:01-0a\tFF", error),
            (std::vector<std::uint8_t>{0xF8, 0, 1, 0x0A, 0xFF}));
  EXPECT_EQ(*ParseHex("0xF8 0x01", error), (std::vector<std::uint8_t>{0xF8, 0x01}));
  EXPECT_EQ(*ParseHex("0xF801", error), (std::vector<std::uint8_t>{0xF8, 0x01}));
  EXPECT_TRUE(ParseHex("", error)->empty());

  EXPECT_FALSE(ParseHex("F8 0", error));
  EXPECT_EQ(error, "odd number of hex digits");
  EXPECT_FALSE(ParseHex("F 8", error));
  EXPECT_EQ(error, "single hex digit before position 2");
  EXPECT_FALSE(ParseHex("F8 G0", error));
  EXPECT_EQ(error, "not a hex digit at position 4");
  EXPECT_FALSE(ParseHex(std::string(2 * velkor::inspect::kMaxPacketBytes + 2, 'A'), error));
  EXPECT_EQ(error, "more than 65536 bytes");
  EXPECT_EQ(velkor::inspect::FormatHex({0x00, 0xAB, 0x7F}), "00 AB 7F");
}

}  // namespace
