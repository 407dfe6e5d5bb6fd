// The device side of the security block, for tools and tests that play a device: sealing a
// packet as a device does (incoming key text) and opening a host's reply (outgoing key text).
// Goes through the utility library, like the link library itself.
#pragma once

#include <array>
#include <cstdint>

namespace velkor::devicekit {

inline constexpr char kOutgoingKeyText[] = "HZ5RW8KDNVP3QX7L";  // host to device
inline constexpr char kIncomingKeyText[] = "B6MJT2FYC9GSE4UA";  // device to host

using Block = std::array<std::uint8_t, 16>;

// Seals a device packet in place: copies bytes 2..9 into 10..17, keeps 18..23, stores the
// check value in 24..25 and encrypts 10..25 under the incoming key text.
void SealAsDevice(std::uint8_t* packet);

// Encrypts bytes 10..25 as they stand under the incoming key text: for blocks a test or a
// fault injector has composed itself (a wrong copy, a wrong check value).
void EncryptBlockAsDevice(std::uint8_t* packet);

// The check value of a plain block at bytes 10..25 (bytes 10..23 count).
std::uint16_t CheckValue(const std::uint8_t* packet);

// Opens bytes 10..25 of a packet under a key text without changing the packet; returns the
// plain block and whether it checks (copy equals bytes 2..9, check value matches).
bool OpenBlock(const std::uint8_t* packet, const char* key_text, Block& plain);

// A host's reply opens under the outgoing key text.
inline bool OpenReply(const std::uint8_t* packet, Block& plain) {
  return OpenBlock(packet, kOutgoingKeyText, plain);
}

}  // namespace velkor::devicekit
