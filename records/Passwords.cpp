// Device and fingerprint passwords: ten packed digit fields at packet bytes 26..65.
#include <array>
#include <cstring>

#include "link/Seal.h"
#include "link/Wire.h"
#include "records/PackedDigits.h"
#include "records/RecordWire.h"
#include "velkorlink.h"

namespace wire = velkor::wire;
namespace records = velkor::records;
namespace password = velkor::records::password;

namespace {

using Texts = std::array<const char*, password::kFieldCount>;

int32_t SendPasswords(uint8_t* packet, uint8_t code, const Texts& texts) {
  packet[wire::kCommandCode] = code;
  velkor::link::SealPacket(packet);
  std::memset(packet + password::kFields, password::kAbsentFill,
              password::kFieldCount * records::kPackedDigitsLength);
  for (std::size_t i = 0; i < password::kFieldCount; ++i) {
    if (texts[i] != nullptr) {
      records::DigitsToPacked(packet + password::kFields + records::kPackedDigitsLength * i,
                              texts[i]);
    }
  }
  return password::kReplyLength;
}

}  // namespace

extern "C" {

int32_t SendDevicePassword(uint8_t* packet, const char* password0, const char* password1,
                           const char* password2, const char* password3, const char* password4,
                           const char* password5, const char* password6, const char* password7,
                           const char* password8, const char* password9) {
  return SendPasswords(packet, wire::code::kDevicePasswords,
                       {password0, password1, password2, password3, password4, password5, password6,
                        password7, password8, password9});
}

int32_t SendFingerPassword(uint8_t* packet, const char* password0, const char* password1,
                           const char* password2, const char* password3, const char* password4,
                           const char* password5, const char* password6, const char* password7,
                           const char* password8, const char* password9) {
  return SendPasswords(packet, wire::code::kFingerPasswords,
                       {password0, password1, password2, password3, password4, password5, password6,
                        password7, password8, password9});
}

const char* GetDevicePassword(uint8_t* packet, uint32_t index) {
  char* text = reinterpret_cast<char*>(packet + password::kText);
  std::memset(text, 0, records::kDigitTextLength);
  if (index < password::kFieldCount) {
    records::PackedToDigits(text,
                            packet + password::kFields + records::kPackedDigitsLength * index);
  }
  return text;
}

}  // extern "C"
