// Capture files built here byte by byte and read through libpcap: every supported variant of
// both formats, and damaged files that must end the reading cleanly.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "Capture.h"
#include "FrameBytes.h"

namespace {

using velkor::inspect::Capture;
using velkor::inspect::ReadCapture;
using velkor::test::Bytes;
using velkor::test::Cooked;
using velkor::test::Ethernet;
using velkor::test::Ipv4Udp;
using velkor::test::Ipv6Udp;
using velkor::test::kPayload;

struct Writer {
  bool big_endian = false;
  bool nanoseconds = false;
  std::uint32_t link_type = 1;  // Ethernet
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

// A pcapng file: section header, one interface, one enhanced packet block per frame.
Bytes PcapNg(std::uint16_t link_type, const std::vector<Bytes>& frames, bool big_endian = false) {
  Bytes out;
  const auto u32 = [&](Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
      b.push_back(static_cast<std::uint8_t>(v >> (big_endian ? 24 - 8 * i : 8 * i)));
    }
  };
  const auto u16 = [&](Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(big_endian ? v >> 8 : v & 0xFF));
    b.push_back(static_cast<std::uint8_t>(big_endian ? v & 0xFF : v >> 8));
  };
  const auto block = [&](std::uint32_t type, const Bytes& body) {
    u32(out, type);
    u32(out, static_cast<std::uint32_t>(12 + body.size()));
    out.insert(out.end(), body.begin(), body.end());
    u32(out, static_cast<std::uint32_t>(12 + body.size()));
  };
  Bytes section;
  u32(section, 0x1A2B3C4D);
  u16(section, 1);
  u16(section, 0);
  u32(section, 0xFFFFFFFF);
  u32(section, 0xFFFFFFFF);
  block(0x0A0D0D0A, section);
  Bytes interface;
  u16(interface, link_type);
  u16(interface, 0);
  u32(interface, 65535);
  block(1, interface);
  for (const Bytes& frame : frames) {
    Bytes packet;
    const std::uint64_t micros = 1700000000123456ull;
    u32(packet, 0);
    u32(packet, static_cast<std::uint32_t>(micros >> 32));
    u32(packet, static_cast<std::uint32_t>(micros));
    u32(packet, static_cast<std::uint32_t>(frame.size()));
    u32(packet, static_cast<std::uint32_t>(frame.size()));
    packet.insert(packet.end(), frame.begin(), frame.end());
    packet.resize((packet.size() + 3) / 4 * 4, 0);
    block(6, packet);
  }
  return out;
}

TEST(Capture, EveryLinkTypeAndByteOrderGivesThePayload) {
  struct Case {
    const char* what;
    bool big_endian, nanoseconds;
    std::uint32_t link_type;
    Bytes frame;
    const char* from;
  };
  Bytes loopback = {2, 0, 0, 0};  // AF_INET, little-endian host
  const Bytes ip = Ipv4Udp(kPayload);
  loopback.insert(loopback.end(), ip.begin(), ip.end());
  Bytes cooked2 = {0x08, 0x00, 0, 0, 0, 0, 0, 1, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0};
  cooked2.insert(cooked2.end(), ip.begin(), ip.end());
  const Case cases[] = {
      {"Ethernet, little-endian", false, false, 1, Ethernet(ip), "10.0.0.2:5000"},
      {"Ethernet, two VLAN tags, big-endian", true, false, 1, Ethernet(ip, 0x0800, 2),
       "10.0.0.2:5000"},
      {"Ethernet, IPv6", false, false, 1, Ethernet(Ipv6Udp(kPayload), 0x86DD),
       "[2001:db8::2]:5000"},
      {"Linux cooked, nanoseconds", false, true, 113, Cooked(ip), "10.0.0.2:5000"},
      {"Linux cooked v2", false, false, 276, cooked2, "10.0.0.2:5000"},
      {"BSD loopback", false, false, 0, loopback, "10.0.0.2:5000"},
      {"raw IPv4, big-endian nanoseconds", true, true, 101, ip, "10.0.0.2:5000"},
      {"raw IPv6", false, false, 101, Ipv6Udp(kPayload), "[2001:db8::2]:5000"},
      {"IPv4 link type with IP options", false, false, 228, Ipv4Udp(kPayload, 17, 0, 2),
       "10.0.0.2:5000"},
      {"IPv6 link type with extension headers", false, false, 229, Ipv6Udp(kPayload, 2),
       "[2001:db8::2]:5000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Writer w;
    w.big_endian = c.big_endian;
    w.nanoseconds = c.nanoseconds;
    w.link_type = c.link_type;
    w.Header().Record(c.frame, 1700000000, 123456);
    const Capture capture = ReadCapture(w.file);
    EXPECT_EQ(capture.error, "");
    EXPECT_EQ(capture.nanoseconds, c.nanoseconds);
    EXPECT_TRUE(capture.skipped.empty()) << capture.skipped[0];
    ASSERT_EQ(capture.datagrams.size(), 1u);
    const auto& d = capture.datagrams[0];
    EXPECT_EQ(d.payload, kPayload);
    EXPECT_EQ(d.seconds, 1700000000);
    EXPECT_EQ(d.fraction, 123456u);
    EXPECT_EQ(d.from, c.from);
  }
}

// pcapng, as Wireshark, tshark and dumpcap write by default: fractions come in nanoseconds.
TEST(Capture, PcapNgInEitherByteOrder) {
  for (bool big_endian : {false, true}) {
    SCOPED_TRACE(big_endian ? "big-endian" : "little-endian");
    const Bytes file =
        PcapNg(1, {Ethernet(Ipv4Udp(kPayload)), Ethernet(Ipv6Udp({9}), 0x86DD)}, big_endian);
    const Capture capture = ReadCapture(file);
    EXPECT_EQ(capture.error, "");
    EXPECT_TRUE(capture.nanoseconds);
    ASSERT_EQ(capture.datagrams.size(), 2u);
    EXPECT_EQ(capture.datagrams[0].payload, kPayload);
    EXPECT_EQ(capture.datagrams[0].seconds, 1700000000);
    EXPECT_EQ(capture.datagrams[0].fraction, 123456000u);
    EXPECT_EQ(capture.datagrams[1].to, "[2001:db8::1]:6000");
    EXPECT_EQ(capture.datagrams[1].frame, 2u);
  }
}

TEST(Capture, DamagedFilesEndTheReadingWithAReason) {
  EXPECT_EQ(ReadCapture(Bytes(2, 0)).error, "not a capture file: too short for a file header");
  EXPECT_EQ(ReadCapture(Bytes()).error, "not a capture file: too short for a file header");
  Writer unknown;
  unknown.Header();
  unknown.file[0] = 0x00;
  EXPECT_EQ(ReadCapture(unknown.file).error, "not a capture file (unknown magic number)");
  Writer other_link;
  other_link.link_type = 105;
  other_link.Header();
  EXPECT_EQ(ReadCapture(other_link.file).error, "unsupported link type 105 (IEEE802_11)");
  Writer short_header;
  short_header.Header();
  short_header.file.resize(20);
  EXPECT_NE(ReadCapture(short_header.file).error.find("not a readable capture file"),
            std::string::npos);

  // A record that claims 4 GiB is refused before anything is allocated for it.
  Writer huge;
  huge.Header().Record(Ethernet(Ipv4Udp(kPayload)));
  huge.U32(1);
  huge.U32(0);
  huge.U32(0xFFFFFFFF);
  huge.U32(0xFFFFFFFF);
  const Capture capture = ReadCapture(huge.file);
  EXPECT_EQ(capture.datagrams.size(), 1u);
  EXPECT_EQ(capture.error.rfind("frame 2: ", 0), 0u) << capture.error;

  // A pcapng block whose length runs past the file's end.
  Bytes ng = PcapNg(1, {Ethernet(Ipv4Udp(kPayload))});
  ng[ng.size() - 4] = 0xFF;
  EXPECT_NE(ReadCapture(ng).error, "");
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

  const Bytes ng = PcapNg(1, {Ethernet(Ipv4Udp(kPayload)), Ethernet(Ipv4Udp({1}))});
  for (std::size_t n = 0; n < ng.size(); ++n) {
    const Capture capture =
        ReadCapture(Bytes(ng.begin(), ng.begin() + static_cast<std::ptrdiff_t>(n)));
    EXPECT_LE(capture.datagrams.size(), 1u) << n;
  }
}

}  // namespace
