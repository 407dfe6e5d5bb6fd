// UDP payloads out of a classic capture file (the libpcap format): both byte orders,
// microsecond and nanosecond time stamps; Ethernet (with 802.1Q tags), Linux cooked and raw
// IPv4 link types; IPv4 carrying UDP. Every length in the file is checked against the bytes
// that are really there, so a damaged or hostile file ends the reading with an error instead
// of a read out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velkor::inspect {

struct UdpDatagram {
  std::size_t frame = 0;  // 1-based record number in the file
  std::uint32_t seconds = 0;
  std::uint32_t fraction = 0;  // microseconds or nanoseconds, as the file has it
  std::uint8_t source[4] = {};
  std::uint8_t destination[4] = {};
  std::uint16_t source_port = 0;
  std::uint16_t destination_port = 0;
  std::vector<std::uint8_t> payload;
};

struct Capture {
  bool nanoseconds = false;
  std::uint32_t link_type = 0;
  std::vector<UdpDatagram> datagrams;
  // Frames passed over (not IPv4, not UDP, a fragment, cut short by the capture length),
  // one line each with the frame number.
  std::vector<std::string> skipped;
  // Set when the file could not be read to its end; what was read before stays in datagrams.
  std::string error;
};

inline constexpr std::uint32_t kLinkEthernet = 1;
inline constexpr std::uint32_t kLinkRaw = 101;
inline constexpr std::uint32_t kLinkLinuxCooked = 113;
inline constexpr std::uint32_t kLinkIpv4 = 228;

Capture ReadCapture(const std::uint8_t* bytes, std::size_t size);
inline Capture ReadCapture(const std::vector<std::uint8_t>& file) {
  return ReadCapture(file.data(), file.size());
}

// "192.168.0.2:5000".
std::string FormatEndpoint(const std::uint8_t address[4], std::uint16_t port);

}  // namespace velkor::inspect
