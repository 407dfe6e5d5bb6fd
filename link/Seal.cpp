#include "link/Seal.h"

#include <cstring>

#include "link/Utility.h"

namespace velkor::link {
namespace {

// A key text prepared for the cipher in scratch memory of the calling function. The constant
// text is never changed, and the prepared bytes are wiped when the call ends.
class PreparedKey {
 public:
  explicit PreparedKey(const char* text) {
    std::memcpy(bytes_, text, sizeof bytes_);
    LeftShiftKey(bytes_);
  }
  ~PreparedKey() {
    volatile std::uint8_t* wipe = bytes_;
    for (std::size_t i = 0; i < sizeof bytes_; ++i) {
      wipe[i] = 0;
    }
  }
  PreparedKey(const PreparedKey&) = delete;
  PreparedKey& operator=(const PreparedKey&) = delete;

  const std::uint8_t* bytes() const { return bytes_; }

 private:
  std::uint8_t bytes_[wire::kKeyTextLength];
};

std::uint16_t CheckValue(const std::uint8_t* packet) {
  return static_cast<std::uint16_t>(CalcRegisterSum(packet + wire::kBlock) & 0xFFFF);
}

}  // namespace

bool OpenPacket(std::uint8_t* packet) {
  {
    const PreparedKey key(kIncomingKeyText);
    TripleDES_Decrypt(key.bytes(), packet + wire::kBlock, wire::kBlockLength);
  }
  if (std::memcmp(packet + wire::kIdentity, packet + wire::kBlockIdentity, wire::kIdentityLength) !=
      0) {
    return false;
  }
  const auto stored =
      static_cast<std::uint16_t>((packet[wire::kCheckHigh] << 8) | packet[wire::kCheckLow]);
  return stored == CheckValue(packet);
}

void SealPacket(std::uint8_t* packet) {
  const PreparedKey key(kOutgoingKeyText);
  const std::uint16_t check = CheckValue(packet);
  packet[wire::kCheckHigh] = static_cast<std::uint8_t>(check >> 8);
  packet[wire::kCheckLow] = static_cast<std::uint8_t>(check & 0xFF);
  TripleDES_Encrypt(key.bytes(), packet + wire::kBlock, wire::kBlockLength);
}

}  // namespace velkor::link
