// The network configuration record: the 60 bytes of network module configuration that the
// last accepted packet carried, the library's only state.
#pragma once

#include <cstdint>

namespace velkor::link {

// Every accepted packet: all 60 bytes to 0, then the captured flag to 1 (nothing carried).
void ResetNetConfig();

// Legacy device, codes 0xFA/0xFC/0xFF, at least 86 bytes: takes bytes 27..85.
void CaptureLegacyConfig(const std::uint8_t* packet);

// Current device (type 1), codes 0xFC/0xFF: takes bytes 26..85, but only those of the
// `length` bytes actually received; record positions beyond them stay 0.
void CaptureCurrentConfig(const std::uint8_t* packet, std::uint32_t length);

// Writes the record into bytes 27..85 of a legacy reply, words high byte first. Writes
// neither byte 26 nor anything outside 27..85.
void EchoNetConfig(std::uint8_t* packet);

}  // namespace velkor::link
