// The 102-byte legacy reply: a command for a legacy controller in a 16-byte frame at bytes
// 86..101, behind an echo of the network module configuration.
#pragma once

#include <cstdint>
#include <span>

namespace velkor::link {

// Builds the legacy reply around one controller command and returns 102: code 0xF9, byte 26
// = 1, the block sealed, the configuration echoed into 27..85, and the frame
// 5A 5A <opcode> <data, 0xAA for unused positions> <sum of 88..98> A5 A5.
// `data` holds at most 10 bytes; bytes beyond 101 are never touched.
std::int32_t SendLegacyFrame(std::uint8_t* packet, std::uint8_t opcode,
                             std::span<const std::uint8_t> data);

}  // namespace velkor::link
