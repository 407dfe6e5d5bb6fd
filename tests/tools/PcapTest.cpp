// Capture files built here byte by byte: every supported variant, the frames passed over, and
// damaged files that must end the reading cleanly.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "Pcap.h"

namespace {

using velkor::inspect::Capture;
using velkor::inspect::ReadCapture;
using Bytes = std::vector<std::uint8_t>;

struct Writer {
  bool big_endian = false;
  bool nanoseconds = false;
  std::uint32_t link_type = velkor::inspect::kLinkEthernet;
  Bytes file;

  void U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
      const int shift = big_endian ? 24 - 8 * i : 8 * i;
      file.push_back(static_cast<std::uint8_t>(v >> shift));
    }
  }
  void U16(std::uint16_t v) {
    file.push_back(static_cast<std::uint8_t>(big_endian ? v >> 8 : v & 0xFF));
    file.push_back(static_cast<std::uint8_t>(big_endian ? v & 0xFF : v >> 8));
  }
  Writer& Header() {
    U32(nanoseconds ? 0xA1B23C4D : 0xA1B2C3D4);
    U16(2);
    U16(4);
    U32(0);
    U32(0);
    U32(65535);
    U32(link_type);
    return *this;
  }
  Writer& Record(const Bytes& frame, std::uint32_t seconds = 1, std::uint32_t fraction = 2) {
    U32(seconds);
    U32(fraction);
    U32(static_cast<std::uint32_t>(frame.size()));
    U32(static_cast<std::uint32_t>(frame.size()));
    file.insert(file.end(), frame.begin(), frame.end());
    return *this;
  }
};

void Be16(Bytes& out, std::size_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

// IPv4 (with `options` words of options) carrying UDP from 10.0.0.2:5000 to 10.0.0.1:6000.
Bytes Ipv4Udp(const Bytes& payload, std::uint8_t protocol = 17, std::uint16_t flags = 0x4000,
              int options = 0) {
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
  Be16(ip, 5000);
  Be16(ip, 6000);
  Be16(ip, 8 + payload.size());
  Be16(ip, 0);
  ip.insert(ip.end(), payload.begin(), payload.end());
  return ip;
}

Bytes Ethernet(const Bytes& ip, std::uint16_t ether_type = 0x0800, int vlan_tags = 0) {
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

Bytes Cooked(const Bytes& ip) {
  Bytes frame = {0, 0, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0};
  Be16(frame, 0x0800);
  frame.insert(frame.end(), ip.begin(), ip.end());
  return frame;
}

const Bytes kPayload = {0xF8, 0x00, 0x01, 0x02, 0x03};

TEST(Capture, EveryLinkTypeAndByteOrderGivesThePayload) {
  struct Case {
    const char* what;
    bool big_endian, nanoseconds;
    std::uint32_t link_type;
    Bytes frame;
  };
  const Case cases[] = {
      {"Ethernet, little-endian", false, false, 1, Ethernet(Ipv4Udp(kPayload))},
      {"Ethernet, two VLAN tags, big-endian", true, false, 1,
       Ethernet(Ipv4Udp(kPayload), 0x0800, 2)},
      {"Linux cooked, nanoseconds", false, true, 113, Cooked(Ipv4Udp(kPayload))},
      {"raw IPv4, big-endian nanoseconds", true, true, 101, Ipv4Udp(kPayload)},
      {"IPv4 link type with IP options", false, false, 228, Ipv4Udp(kPayload, 17, 0, 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Writer w;
    w.big_endian = c.big_endian;
    w.nanoseconds = c.nanoseconds;
    w.link_type = c.link_type;
    w.Header().Record(c.frame, 1700000000, 123456789);
    const Capture capture = ReadCapture(w.file);
    EXPECT_EQ(capture.error, "");
    EXPECT_EQ(capture.nanoseconds, c.nanoseconds);
    ASSERT_EQ(capture.datagrams.size(), 1u);
    const auto& d = capture.datagrams[0];
    EXPECT_EQ(d.payload, kPayload);
    EXPECT_EQ(d.seconds, 1700000000u);
    EXPECT_EQ(d.fraction, 123456789u);
    EXPECT_EQ(velkor::inspect::FormatEndpoint(d.source, d.source_port), "10.0.0.2:5000");
    EXPECT_EQ(velkor::inspect::FormatEndpoint(d.destination, d.destination_port), "10.0.0.1:6000");
  }
}

TEST(Capture, FramesThatCarryNoWholeUdpDatagramArePassedOver) {
  Writer w;
  w.Header()
      .Record(Ethernet(Ipv4Udp(kPayload), 0x0806))      // ARP
      .Record(Ethernet(Ipv4Udp(kPayload, 6)))           // TCP
      .Record(Ethernet(Ipv4Udp(kPayload, 17, 0x2000)))  // first fragment
      .Record(Ethernet(Ipv4Udp(kPayload, 17, 0x0010)))  // later fragment
      .Record(Bytes(10, 0))                             // cut inside the Ethernet header
      .Record(Ethernet(Ipv4Udp(kPayload)));
  Bytes cut = Ipv4Udp(Bytes(40, 0xEE));
  cut.resize(cut.size() - 2);  // captured shorter than its IPv4 length
  w.Record(Ethernet(cut));
  Bytes bad_udp = Ipv4Udp(kPayload);
  bad_udp[24] = 0xFF;  // UDP length beyond the IPv4 packet
  w.Record(Ethernet(bad_udp));

  const Capture capture = ReadCapture(w.file);
  EXPECT_EQ(capture.error, "");
  ASSERT_EQ(capture.datagrams.size(), 1u);
  EXPECT_EQ(capture.datagrams[0].frame, 6u);
  EXPECT_EQ(capture.skipped,
            (std::vector<std::string>{
                "frame 1: not IPv4", "frame 2: not UDP", "frame 3: IPv4 fragment",
                "frame 4: IPv4 fragment", "frame 5: Ethernet header cut short",
                "frame 7: IPv4 packet cut short by the capture", "frame 8: bad UDP length"}));
}

TEST(Capture, DamagedFilesEndTheReadingWithAReason) {
  EXPECT_EQ(ReadCapture(Bytes(10, 0)).error, "not a capture file: shorter than its 24-byte header");
  Writer unknown;
  unknown.Header();
  unknown.file[0] = 0x00;
  EXPECT_EQ(ReadCapture(unknown.file).error, "not a classic capture file (unknown magic number)");
  Writer other_link;
  other_link.link_type = 105;
  other_link.Header();
  EXPECT_EQ(ReadCapture(other_link.file).error, "unsupported link type 105");

  // A record that claims 4 GiB is refused before anything is allocated for it.
  Writer huge;
  huge.Header().Record(Ethernet(Ipv4Udp(kPayload)));
  huge.U32(1);
  huge.U32(0);
  huge.U32(0xFFFFFFFF);
  huge.U32(0xFFFFFFFF);
  const Capture capture = ReadCapture(huge.file);
  EXPECT_EQ(capture.datagrams.size(), 1u);
  EXPECT_EQ(capture.error, "frame 2: record length too large");
}

// Every prefix of a capture reads without going past its end: whole records come out, and a
// cut inside a record is reported.
TEST(Capture, EveryTruncationIsReadWithinBounds) {
  Writer w;
  w.big_endian = true;
  w.Header().Record(Ethernet(Ipv4Udp(kPayload), 0x0800, 1)).Record(Ethernet(Ipv4Udp({1, 2, 3})));
  const std::size_t first_end = 24 + 16 + Ethernet(Ipv4Udp(kPayload), 0x0800, 1).size();
  for (std::size_t n = 0; n < w.file.size(); ++n) {
    const Bytes cut(w.file.begin(), w.file.begin() + static_cast<std::ptrdiff_t>(n));
    const Capture capture = ReadCapture(cut);
    const bool whole = n == 24 || n == first_end;
    EXPECT_EQ(capture.error.empty(), whole) << n;
    EXPECT_EQ(capture.datagrams.size(), n >= first_end ? 1u : 0u) << n;
  }
  EXPECT_EQ(ReadCapture(w.file).datagrams.size(), 2u);
}

}  // namespace
