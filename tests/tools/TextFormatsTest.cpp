// The JSON layout, reading and escaping, and the hex reader: what they accept, and hostile input
// refused without reading out of bounds.
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

TEST(Json, TheVectorsFileReadsAndWritesBackByteForByte) {
  std::ifstream file(velkor::test::VectorsFolder() + "/vectors.json", std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  std::string error;
  const std::optional<Json> document = ReadJson(text.str(), error);
  ASSERT_TRUE(document) << error;
  EXPECT_EQ(WriteJson(*document) + "\n", text.str());
}

// The layout: arrays of scalars on one line, nested arrays and objects a line per item, empty
// ones closed at once; members in the order they were set.
TEST(Json, LayoutAndMemberOrder) {
  Json j = Json::object();
  j["z"] = Json::array({1, -2, true, nullptr, "s"});
  j["a"] = Json::array({Json::array({1, 2}), Json::object()});
  j["e"] = Json::array();
  j["n"] = std::uint64_t{18446744073709551615u};
  EXPECT_EQ(WriteJson(j),
            "{\n  \"z\": [1, -2, true, null, \"s\"],\n  \"a\": [\n    [1, 2],\n    {}\n  ],\n"
            "  \"e\": [],\n  \"n\": 18446744073709551615\n}");
  EXPECT_EQ(WriteJson(j, 0),
            R"({"z":[1,-2,true,null,"s"],"a":[[1,2],{}],"e":[],"n":18446744073709551615})");
}

// Quotes, backslashes and control characters are escaped; UTF-8 passes as it is; bytes that
// are no UTF-8 (a device's password field, a file name) become U+FFFD, so the output stays JSON.
TEST(Json, TextEscaping) {
  EXPECT_EQ(WriteJson(Json(std::string("\x01\"\\\n\t", 5)), 0), R"("\u0001\"\\\n\t")");
  EXPECT_EQ(WriteJson(Json("\xC3\xA9\xF0\x9F\x98\x80"), 0), "\"\xC3\xA9\xF0\x9F\x98\x80\"");
  EXPECT_EQ(WriteJson(Json("a\xFF"
                           "b"),
                      0),
            "\"a\xEF\xBF\xBD"
            "b\"");
  std::string error;
  const std::optional<Json> back = ReadJson(WriteJson(Json("a\xFF"
                                                           "b")),
                                            error);
  ASSERT_TRUE(back) << error;
}

TEST(Json, MalformedOrOversizedInputIsRefusedWithAReason) {
  std::string error;
  for (const std::string text :
       {"", "[1,]", "{\"a\":}", "\"a\nb\"", "\"\\ud800\"", "[1] 2", "\"\\x\""}) {
    error.clear();
    EXPECT_FALSE(ReadJson(text, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  EXPECT_FALSE(ReadJson("[1, 2]", error, 5));
  EXPECT_EQ(error, "input longer than 5 bytes");
  // Deep nesting is read without recursion: no exhausted stack.
  EXPECT_FALSE(ReadJson(std::string(100000, '['), error));
  EXPECT_TRUE(ReadJson(std::string(20000, '[') + std::string(20000, ']'), error)) << error;
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
