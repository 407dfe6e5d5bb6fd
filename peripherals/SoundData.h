// Voice data transfer for legacy devices: a 0xF2 request is rewritten on intake so that the
// host reads the request and writes its data through the sound buffer, then answered with 0xF1.
#pragma once

#include <cstdint>

namespace velkor::peripherals {

// Intake of a legacy 0xF2 request that passed the security check. Returns false (drop) when
// it is shorter than 29 bytes. Otherwise swaps the request word at 27..28 to low byte first
// and stores the number of bytes after byte 28 at 25..26, low byte first.
bool RewriteVoiceRequest(std::uint8_t* packet, std::uint32_t length);

}  // namespace velkor::peripherals
