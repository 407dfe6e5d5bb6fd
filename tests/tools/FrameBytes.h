// Frames built byte by byte for the capture tests: UDP over IPv4 and IPv6 in the link layers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velkor::test {

using Bytes = std::vector<std::uint8_t>;

// The UDP payload the frames carry.
inline const Bytes kPayload = {0xF8, 0x00, 0x01, 0x02, 0x03};

inline void Be16(Bytes& out, std::size_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

// IPv4 (with `options` words of options) carrying UDP from 10.0.0.2:5000 to 10.0.0.1:6000
// (or the ports given).
inline Bytes Ipv4Udp(const Bytes& payload, std::uint8_t protocol = 17, std::uint16_t flags = 0x4000,
                     int options = 0, std::uint16_t source_port = 5000,
                     std::uint16_t destination_port = 6000) {
  Bytes ip;
  const std::size_t header = 20 + 4 * static_cast<std::size_t>(options);
  ip.push_back(static_cast<std::uint8_t>(0x40 | header / 4));
  ip.push_back(0);
  Be16(ip, header + 8 + payload.size());
  Be16(ip, 1);
  Be16(ip, flags);
  ip.push_back(64);
  ip.push_back(protocol);
  Be16(ip, 0);
  ip.insert(ip.end(), {10, 0, 0, 2, 10, 0, 0, 1});
  ip.insert(ip.end(), 4 * static_cast<std::size_t>(options), 0x01);  // no-op options
  Be16(ip, source_port);
  Be16(ip, destination_port);
  Be16(ip, 8 + payload.size());
  Be16(ip, 0);
  ip.insert(ip.end(), payload.begin(), payload.end());
  return ip;
}

// The IPv4 fragment of datagram `id` holding bytes [start, start + data.size()) of its IP
// payload (UDP header included).
inline Bytes Ipv4Fragment(std::uint16_t id, std::size_t start, const Bytes& data, bool more) {
  Bytes ip = {0x45, 0};
  Be16(ip, 20 + data.size());
  Be16(ip, id);
  Be16(ip, (more ? 0x2000 : 0) | start / 8);
  ip.insert(ip.end(), {64, 17, 0, 0, 10, 0, 0, 2, 10, 0, 0, 1});
  ip.insert(ip.end(), data.begin(), data.end());
  return ip;
}

// The IP payload of a UDP datagram from port 5000 to 6000.
inline Bytes Udp(const Bytes& payload) {
  Bytes udp;
  Be16(udp, 5000);
  Be16(udp, 6000);
  Be16(udp, 8 + payload.size());
  Be16(udp, 0);
  udp.insert(udp.end(), payload.begin(), payload.end());
  return udp;
}

// IPv6 from 2001:db8::2 to 2001:db8::1, with `extensions` hop-by-hop / destination options
// headers of 8 bytes before the UDP header.
inline Bytes Ipv6Udp(const Bytes& payload, int extensions = 0) {
  const Bytes udp = Udp(payload);
  Bytes ip = {0x60, 0, 0, 0};
  Be16(ip, 8 * static_cast<std::size_t>(extensions) + udp.size());
  ip.push_back(extensions > 0 ? 0 : 17);
  ip.push_back(64);
  for (std::uint8_t last : {2, 1}) {
    ip.insert(ip.end(), {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, last});
  }
  for (int i = 0; i < extensions; ++i) {
    ip.insert(ip.end(),
              {static_cast<std::uint8_t>(i + 1 < extensions ? 60 : 17), 0, 1, 4, 0, 0, 0, 0});
  }
  ip.insert(ip.end(), udp.begin(), udp.end());
  return ip;
}

inline Bytes Ethernet(const Bytes& ip, std::uint16_t ether_type = 0x0800, int vlan_tags = 0) {
  Bytes frame(12, 0x02);
  for (int i = 0; i < vlan_tags; ++i) {
    Be16(frame, 0x8100);
    Be16(frame, 7);
  }
  Be16(frame, ether_type);
  frame.insert(frame.end(), ip.begin(), ip.end());
  frame.resize(std::max<std::size_t>(frame.size(), 60), 0);  // Ethernet padding
  return frame;
}

inline Bytes Cooked(const Bytes& ip) {
  Bytes frame = {0, 0, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0};
  Be16(frame, 0x0800);
  frame.insert(frame.end(), ip.begin(), ip.end());
  return frame;
}

}  // namespace velkor::test
