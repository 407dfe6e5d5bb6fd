// The security block at packet bytes 10..25: opening it on intake and sealing it on replies.
#pragma once

#include <cstdint>

#include "link/Wire.h"

namespace velkor::link {

// The two link key texts. Packets to a device are sealed under the outgoing text, packets from
// a device under the incoming one; the reconnect packet carries both in plain.
inline constexpr char kOutgoingKeyText[wire::kKeyTextLength + 1] = "HZ5RW8KDNVP3QX7L";
inline constexpr char kIncomingKeyText[wire::kKeyTextLength + 1] = "B6MJT2FYC9GSE4UA";

// Decrypts bytes 10..25 in place under the incoming key and checks them: the copy of the
// type and serial must match bytes 2..9 and the check value must match. The block stays
// decrypted whatever the outcome.
bool OpenPacket(std::uint8_t* packet);

// Stores a fresh check value over the plain bytes 10..23 and encrypts bytes 10..25 under the
// outgoing key. Touches nothing else.
void SealPacket(std::uint8_t* packet);

}  // namespace velkor::link
