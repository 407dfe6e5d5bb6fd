// Device and fingerprint passwords: ten packed digit fields, read back one at a time.
#include <gtest/gtest.h>

#include <string>

#include "Packets.h"
#include "RecordPackets.h"
#include "velkorlink.h"

namespace {

using namespace velkor::test;

// Texts 0..9: null, full, too long, cut at a letter, empty, odd, null, space, null, 0s.
const char* const kTexts[10] = {nullptr, "12345678", "123456789", "12a4",  "",
                                "7",     nullptr,    "9 9",       nullptr, "00000000"};
const char* const kFields =
    "FF FF FF FF  12 34 56 78  12 34 56 78  12 FF FF FF  FF FF FF FF"
    "7F FF FF FF  FF FF FF FF  9F FF FF FF  FF FF FF FF  00 00 00 00";
const char* const kReadBack[10] = {"",  "12345678", "12345678", "12", "",
                                   "7", "",         "9",        "",   "00000000"};

int32_t Send(bool finger, uint8_t* packet, const char* const (&t)[10]) {
  return (finger ? SendFingerPassword : SendDevicePassword)(packet, t[0], t[1], t[2], t[3], t[4],
                                                            t[5], t[6], t[7], t[8], t[9]);
}

TEST(Passwords, DeviceAndFingerShareTheLayout) {
  for (const bool finger : {false, true}) {
    Buffer b = Accepted();
    const auto head = b.Slice(1, 9);
    ASSERT_EQ(Send(finger, b.data(), kTexts), 66);
    EXPECT_EQ(b[0], finger ? 0xE7 : 0xF1);
    EXPECT_EQ(b.Slice(1, 9), head);
    EXPECT_EQ(b.Slice(26, 40), Hex(kFields));
    ExpectReplyOpens(b);
    ExpectCanaryFrom(b, 66);
  }
}

TEST(Passwords, NullPointersSendNoPassword) {
  const char* const none[10] = {};
  Buffer b = Accepted();
  ASSERT_EQ(Send(false, b.data(), none), 66);
  EXPECT_EQ(b.Slice(26, 40), std::vector<uint8_t>(40, 0xFF));
}

TEST(GetDevicePassword, ReadsEachFieldIntoTheSameNineBytes) {
  Buffer b = Accepted();
  Send(false, b.data(), kTexts);
  const auto fields = b.Slice(26, 40);
  for (uint32_t i = 0; i < 10; ++i) {
    const char* text = GetDevicePassword(b.data(), i);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(text), b.data() + 76);
    EXPECT_EQ(std::string(text), kReadBack[i]) << i;
  }
  EXPECT_EQ(b.Slice(26, 40), fields);
  EXPECT_EQ(b.Slice(66, 10), std::vector<uint8_t>(10, kCanary));
  ExpectCanaryFrom(b, 85);

  for (const uint32_t index : {10u, 0xFFFFFFFFu}) {
    GetDevicePassword(b.data(), 1);
    EXPECT_EQ(std::string(GetDevicePassword(b.data(), index)), "");
    EXPECT_EQ(b.Slice(76, 9), std::vector<uint8_t>(9, 0));
  }
}

}  // namespace
