// velkor-inspect's command line, run in-process on the committed vectors: hex arguments,
// standard input and the committed capture, as text and as JSON.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "Inspector.h"
#include "Json.h"
#include "VectorsFile.h"

namespace {

using velkor::inspect::Find;
using velkor::inspect::Json;
using velkor::inspect::RunInspector;
using velkor::test::VectorNamed;
using velkor::test::Vectors;

struct Outcome {
  int status;
  std::string out, err;
};

Outcome Inspect(const std::vector<std::string>& args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  const int status = RunInspector(args, in, out, err);
  return {status, out.str(), err.str()};
}

std::string HexOf(const char* name) {
  return Find(VectorNamed(name).entry, "hex")->get<std::string>();
}

Json ParseOutput(const std::string& text) {
  std::string error;
  std::optional<Json> document = velkor::inspect::ReadJson(text, error);
  EXPECT_TRUE(document) << error;
  return document ? *document : Json();
}

const char* Verdict(const std::string& key) {
  if (key == "incoming") {
    return "opens under the incoming key text (device to host)";
  }
  if (key == "outgoing") {
    return "opens under the outgoing key text (host to device)";
  }
  if (key == "unsealed") {
    return "unsealed reconnect packet (host to device)";
  }
  return "";
}

TEST(Inspector, TextNamesKeyAndFamilyOfEveryVector) {
  std::vector<std::string> args;
  for (const auto& v : Vectors()) {
    args.push_back(Find(v.entry, "hex")->get<std::string>());
  }
  const Outcome run = Inspect(args);
  EXPECT_EQ(run.status, 0) << run.err;
  // Reports follow one another in argument order, each opening with its verdict line.
  std::size_t at = 0;
  for (std::size_t i = 0; i < Vectors().size(); ++i) {
    const auto& v = Vectors()[i];
    SCOPED_TRACE(v.name);
    const std::string opening = "packet " + std::to_string(i + 1) + " (argument " +
                                std::to_string(i + 1) + "), " + std::to_string(v.bytes.size()) +
                                " bytes: " + Verdict(Find(v.entry, "key")->get<std::string>());
    at = run.out.find(opening, at);
    ASSERT_NE(at, std::string::npos) << opening;
    const std::size_t end = run.out.find("\npacket ", at);
    const std::string report = run.out.substr(at, end - at);
    EXPECT_NE(report.find("  family: " + Find(v.entry, "family")->get<std::string>() + "\n"),
              std::string::npos)
        << report;
  }
}

TEST(Inspector, TextShowsTheDecodedFields) {
  const struct {
    const char* vector;
    const char* line;
  } cases[] = {
      {"events-current",
       "    [1] index=1 bytes=\"03 A1 A2 A3 A4 A5 A6 83 07 00 12 34 56 78 00 00\" "
       "kind=3 number=177719902250406 code=0x83 values=[-1 -1 -1 -1 -1 7 -1 -1] "
       "cardNumber=305419896 digits=\"\"\n"},
      {"events-legacy", "kind=3 number=256 code=0x70 values=[-1 -1 -1 -1 -1 2500 -1 -1]"},
      {"cards-device",
       "    [0] cardNumber=2882400001 password=\"1234\" year=24 month=3 day=9 "
       "hour=23 param=0x5A flag0=true flag1=false flag2=true flag3=false "
       "flag4=false flag7=true flag6=false\n"},
      {"firmware-legacy", "  firmware: 2300\n"},
      {"voice-request", "  request: 0x0102\n"},
      {"template-request", "  number: 12345\n"},
      {"device-passwords",
       "  passwords: \"12345678\" \"\" \"42\" \"\" \"12345678\" \"0\" \"\" \"\" \"\" "
       "\"99999999\"\n"},
      {"clock-current", "  clock: year=24 month=3 day=9 hour=23 minute=59 second=59 weekday=6\n"},
      {"reader-mode-legacy",
       "  frame: opcode=0x90 data=\"12 34 01 02 03 AA AA AA AA AA\" sum=0x2E sumOk=true "
       "framingOk=true\n"},
      {"configuration-reply-legacy", "    word1: 8080\n"},
      {"wrong-serial-copy", "  block: incoming=\"type and serial copy differ\""},
      {"short-packet", "25 bytes: too short for a packet head\n"},
      {"code-zero", "  note: the library drops an accepted packet whose command code is 0\n"},
  };
  for (const auto& c : cases) {
    const Outcome run = Inspect({HexOf(c.vector)});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find(c.line), std::string::npos) << c.vector << ":\n" << run.out;
  }
}

TEST(Inspector, JsonCarriesTheSameFieldsAsTheVectorsFile) {
  std::vector<std::string> args = {"--json"};
  for (const auto& v : Vectors()) {
    args.push_back(Find(v.entry, "hex")->get<std::string>());
  }
  const Outcome run = Inspect(args);
  EXPECT_EQ(run.status, 0);
  const Json document = ParseOutput(run.out);
  const Json* packets = Find(document, "packets");
  ASSERT_NE(packets, nullptr);
  ASSERT_EQ(packets->size(), Vectors().size());
  EXPECT_TRUE(Find(document, "problems")->empty());
  for (std::size_t i = 0; i < Vectors().size(); ++i) {
    const Json& packet = packets->at(i);
    const Json& expected = Vectors()[i].entry;
    SCOPED_TRACE(Vectors()[i].name);
    EXPECT_EQ(Find(Find(packet, "source"), "argument")->get<std::int64_t>(),
              static_cast<int64_t>(i + 1));
    for (const char* member : {"prepare", "key", "family", "head", "payload"}) {
      const Json* a = Find(packet, member);
      const Json* b = Find(expected, member);
      EXPECT_TRUE(a == nullptr ? b == nullptr : b != nullptr && *a == *b) << member;
    }
  }
}

TEST(Inspector, CommittedCaptureHoldsEveryVectorInOrder) {
  if (!VELKOR_INSPECT_CAPTURE) {
    GTEST_SKIP() << "this build reads no captures";
  }
  const std::string capture = velkor::test::VectorsFolder() + "/vectors.pcap";
  const Outcome run = Inspect({"--json", "--pcap", capture});
  EXPECT_EQ(run.status, 0) << run.err;
  const Json document = ParseOutput(run.out);
  const Json* packets = Find(document, "packets");
  ASSERT_NE(packets, nullptr);
  ASSERT_EQ(packets->size(), Vectors().size());
  for (std::size_t i = 0; i < Vectors().size(); ++i) {
    const Json& packet = packets->at(i);
    const Json& expected = Vectors()[i].entry;
    SCOPED_TRACE(Vectors()[i].name);
    EXPECT_EQ(Find(packet, "length")->get<std::int64_t>(),
              static_cast<int64_t>(Vectors()[i].bytes.size()));
    EXPECT_TRUE(*Find(packet, "family") == *Find(expected, "family"));
    const Json* payload = Find(packet, "payload");
    EXPECT_TRUE(payload == nullptr ? Find(expected, "payload") == nullptr
                                   : *payload == *Find(expected, "payload"));
    // Replies travel from the host's port, device packets from the device's.
    const bool to_device = Find(expected, "direction")->get<std::string>() == "host-to-device";
    EXPECT_EQ(Find(Find(packet, "source"), "from")->get<std::string>(),
              to_device ? "192.0.2.1:6001" : "192.0.2.10:6000");
    EXPECT_EQ(Find(Find(packet, "source"), "frame")->get<std::int64_t>(),
              static_cast<int64_t>(i + 1));
  }

  const Outcome text = Inspect({"--pcap", capture});
  EXPECT_NE(text.out.find("packet 1 (" + capture +
                          " frame 1, 192.0.2.10:6000 -> 192.0.2.1:6001), 26 bytes: opens under "
                          "the incoming key text (device to host)\n"),
            std::string::npos);
}

TEST(Inspector, StandardInputSkipsCommentsAndReportsBadLines) {
  const std::string input = "# captured on the bench\n\n" + HexOf("poll") + "\r\n" + "F8 00 0\n" +
                            "  " + HexOf("finger-control") + "\n";
  const Outcome run = Inspect({}, input);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("packet 1 (line 3), 26 bytes: opens under the incoming key text"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("packet 2 (line 5), 32 bytes: opens under the outgoing key text"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.err, "velkor-inspect: line 4: odd number of hex digits\n");

  const Outcome json = Inspect({"--json"}, "zz\n" + HexOf("poll"));
  EXPECT_EQ(json.status, 1);
  const Json document = ParseOutput(json.out);
  EXPECT_EQ(Find(document, "packets")->size(), 1u);
  ASSERT_EQ(Find(document, "problems")->size(), 1u);
  EXPECT_EQ(Find(document, "problems")->at(0).get<std::string>(),
            "line 1: not a hex digit at position 1");
}

TEST(Inspector, OverlongLineIsReportedAndReadingGoesOn) {
  const std::string input =
      std::string(velkor::inspect::kMaxLineBytes + 10, 'A') + "\n" + HexOf("poll") + "\n";
  const Outcome run = Inspect({}, input);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("line 1: longer than"), std::string::npos);
  EXPECT_NE(run.out.find("packet 1 (line 2)"), std::string::npos);
}

TEST(Inspector, UsageAndUnreadableFiles) {
  EXPECT_EQ(Inspect({"--help"}).status, 0);
  EXPECT_NE(Inspect({"--help"}).out.find("usage: velkor-inspect"), std::string::npos);
  EXPECT_EQ(Inspect({"--frobnicate"}).status, 2);
  EXPECT_EQ(Inspect({"--pcap"}).status, 2);
  EXPECT_EQ(Inspect({"--live"}).status, 2);
  EXPECT_EQ(Inspect({"--filter", "udp"}).status, 2);
  EXPECT_EQ(Inspect({"--live", "lo", "--pcap", "x.pcap"}).status, 2);
  if (!VELKOR_INSPECT_CAPTURE) {
    const Outcome none = Inspect({"--pcap", velkor::test::VectorsFolder() + "/vectors.pcap"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no capture support"), std::string::npos);
    EXPECT_NE(Inspect({"--live", "lo"}).err.find("no capture support"), std::string::npos);
    return;
  }
  const Outcome no_interface = Inspect({"--live", "no-such-interface0"});
  EXPECT_EQ(no_interface.status, 1);
  EXPECT_NE(no_interface.err.find("no-such-interface0"), std::string::npos) << no_interface.err;

  const Outcome missing = Inspect({"--pcap", velkor::test::VectorsFolder() + "/no-such.pcap"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot open"), std::string::npos);

  // The vectors file is no capture: its first bytes are no capture magic.
  const Outcome wrong = Inspect({"--pcap", velkor::test::VectorsFolder() + "/vectors.json"});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("unknown magic number"), std::string::npos);
}

}  // namespace

namespace {

// Time stamps as the file's resolution writes them, also a fraction too large for it.
TEST(Inspector, CaptureTimeStampsKeepTheirResolution) {
  if (!VELKOR_INSPECT_CAPTURE) {
    GTEST_SKIP() << "this build reads no captures";
  }
  std::ifstream committed(velkor::test::VectorsFolder() + "/vectors.pcap", std::ios::binary);
  std::string file((std::istreambuf_iterator<char>(committed)), std::istreambuf_iterator<char>());
  ASSERT_GT(file.size(), 48u);
  // Frame 1's fraction (record header bytes 4..7, little-endian) set beyond a microsecond.
  const std::uint32_t fraction = 12345678;
  for (int i = 0; i < 4; ++i) {
    file[28 + static_cast<std::size_t>(i)] = static_cast<char>(fraction >> (8 * i));
  }
  const std::string path = "inspector-time-stamps.pcap";
  std::ofstream(path, std::ios::binary) << file;
  const Outcome run = Inspect({"--json", "--pcap", path});
  EXPECT_EQ(run.status, 0) << run.err;
  const Json packets = *Find(ParseOutput(run.out), "packets");
  EXPECT_EQ(Find(Find(packets[0], "source"), "time")->get<std::string>(), "1700000000.12345678");
  EXPECT_EQ(Find(Find(packets[1], "source"), "time")->get<std::string>(), "1700000001.001000");
}

}  // namespace
