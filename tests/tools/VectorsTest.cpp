// The committed vectors file, checked through the library: what PreparePackage says of each
// packet, which key text opens it, and the fields its decoding gives.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "Decode.h"
#include "DeviceSeal.h"
#include "Json.h"
#include "VectorsFile.h"
#include "velkorlink.h"

namespace {

using velkor::inspect::Find;
using velkor::inspect::InspectPacket;
using velkor::inspect::Json;
using velkor::inspect::WriteJson;
using velkor::test::Vectors;

std::string Show(const Json* value) {
  return value == nullptr ? "(absent)" : WriteJson(*value);
}

TEST(Vectors, EveryVectorDecodesToItsRecordedFields) {
  ASSERT_GE(Vectors().size(), 40u);
  for (const auto& v : Vectors()) {
    SCOPED_TRACE(v.name);
    // The library's verdict on the bytes as received.
    std::vector<std::uint8_t> buffer(4096, 0);
    std::memcpy(buffer.data(), v.bytes.data(), v.bytes.size());
    const Json* prepare = Find(v.entry, "prepare");
    ASSERT_NE(prepare, nullptr);
    EXPECT_EQ(PreparePackage(buffer.data(), static_cast<std::uint32_t>(v.bytes.size())),
              prepare->get<std::int64_t>());

    const Json report = InspectPacket(v.bytes);
    for (const char* member : {"prepare", "key", "direction", "family", "head", "payload"}) {
      const Json* expected = Find(v.entry, member);
      const Json* actual = Find(report, member);
      const bool same =
          expected == nullptr ? actual == nullptr : actual != nullptr && *actual == *expected;
      EXPECT_TRUE(same) << member << "\n  file:    " << Show(expected)
                        << "\n  decoded: " << Show(actual);
    }
  }
}

TEST(Vectors, RepliesOpenUnderTheOutgoingKeyTextAndDevicePacketsUnderTheIncoming) {
  for (const auto& v : Vectors()) {
    SCOPED_TRACE(v.name);
    const std::string key = Find(v.entry, "key")->get<std::string>();
    if (v.bytes.size() < 26) {
      EXPECT_EQ(key, "none");
      continue;
    }
    velkor::devicekit::Block plain{};
    EXPECT_EQ(velkor::devicekit::OpenReply(v.bytes.data(), plain), key == "outgoing");
    EXPECT_EQ(
        velkor::devicekit::OpenBlock(v.bytes.data(), velkor::devicekit::kIncomingKeyText, plain),
        key == "incoming");
  }
}

TEST(Vectors, CoverEveryFamilyInBothDirectionsAndTheRefusals) {
  std::set<std::string> device, host, names;
  for (const auto& v : Vectors()) {
    const std::string key = Find(v.entry, "key")->get<std::string>();
    const std::string family = Find(v.entry, "family")->get<std::string>();
    (key == "incoming" ? device : host).insert(family);
    names.insert(v.name);
  }
  for (const char* family :
       {"poll", "events", "cards", "groups", "schedules", "configuration", "firmware",
        "voice-request", "reader-mode", "finger-mode", "template-upload", "template-request",
        "finger-control-report", "dropped"}) {
    EXPECT_TRUE(device.count(family)) << "device packets lack " << family;
  }
  for (const char* family :
       {"cards", "groups", "schedules", "device-passwords", "finger-passwords", "configuration",
        "read", "echo", "control", "extra-output", "clock", "reader-mode", "finger-mode",
        "finger-control", "template", "voice-data", "reconnect", "sealed", "short"}) {
    EXPECT_TRUE(host.count(family)) << "replies and refusals lack " << family;
  }
  for (const char* name : {"events-current", "events-legacy", "wrong-key", "tampered-block",
                           "short-packet", "wrong-serial-copy", "control-legacy", "clock-legacy",
                           "reader-mode-legacy", "configuration-reply-legacy"}) {
    EXPECT_TRUE(names.count(name)) << "no vector " << name;
  }
  EXPECT_EQ(names.size(), Vectors().size()) << "vector names repeat";
}

// Every cut of every vector, and every command code on every vector, decodes without reading
// outside the bytes given (the address sanitizer build catches any such read).
TEST(Vectors, EveryTruncationAndEveryCommandCodeDecodesWithinBounds) {
  for (const auto& v : Vectors()) {
    SCOPED_TRACE(v.name);
    for (std::size_t n = 0; n <= v.bytes.size(); ++n) {
      const std::vector<std::uint8_t> cut(v.bytes.begin(), v.bytes.begin() + n);
      const Json report = InspectPacket(cut);
      ASSERT_NE(Find(report, "family"), nullptr);
      EXPECT_EQ(Find(report, "length")->get<std::int64_t>(), static_cast<std::int64_t>(n));
    }
    if (v.bytes.empty()) {
      continue;
    }
    // The command code lies outside the security block, so every code still opens.
    std::vector<std::uint8_t> recoded = v.bytes;
    for (int code = 0; code < 256; ++code) {
      recoded[0] = static_cast<std::uint8_t>(code);
      ASSERT_NE(Find(InspectPacket(recoded), "family"), nullptr) << "code " << code;
    }
  }
}

// An event count beyond the records the packet holds decodes only the records it holds.
TEST(Vectors, EventCountBeyondThePacketIsClampedToItsRecords) {
  for (const char* name : {"events-current", "events-legacy"}) {
    SCOPED_TRACE(name);
    std::vector<std::uint8_t> bytes = velkor::test::VectorNamed(name).bytes;
    const std::size_t held =
        Find(Find(velkor::test::VectorNamed(name).entry, "payload"), "count")->get<std::int64_t>();
    bytes[26] = 0xFF;
    const Json report = InspectPacket(bytes);
    const Json* payload = Find(report, "payload");
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(Find(payload, "count")->get<std::int64_t>(), 255);
    EXPECT_EQ(Find(payload, "records")->size(), held);
    ASSERT_NE(Find(report, "notes"), nullptr);
    EXPECT_NE(Find(report, "notes")->at(0).get<std::string>().find("announces 255 records"),
              std::string::npos);
  }
}

}  // namespace
