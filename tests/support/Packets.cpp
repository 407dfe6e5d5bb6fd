#include "Packets.h"

#include <cctype>
#include <string>

namespace velkor::test {

std::vector<std::uint8_t> Hex(std::string_view text) {
  std::vector<std::uint8_t> out;
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      digits.push_back(c);
    }
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Buffer MakePacket(const DevicePacket& packet, bool seal) {
  Buffer b;
  for (std::size_t i = 0; i < packet.length; ++i) {
    b[i] = 0;
  }
  b[0] = packet.code;
  b[2] = packet.type;
  for (int i = 0; i < 7; ++i) {
    b[3 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(packet.serial >> (8 * (6 - i)));
  }
  for (std::size_t i = 18; i < 24; ++i) {
    b[i] = static_cast<std::uint8_t>(i);
  }
  if (seal) {
    devicekit::SealAsDevice(b.data());
  }
  return b;
}

devicekit::Block ExpectReplyOpens(const Buffer& reply) {
  devicekit::Block plain{};
  EXPECT_TRUE(devicekit::OpenReply(reply.data(), plain)) << "reply does not open";
  return plain;
}

void ExpectCanaryFrom(const Buffer& buffer, std::size_t from) {
  for (std::size_t i = from; i < kBufferSize; ++i) {
    if (buffer[i] != kCanary) {
      ADD_FAILURE() << "byte " << i << " changed to 0x" << std::hex << int{buffer[i]};
      return;
    }
  }
}

}  // namespace velkor::test
