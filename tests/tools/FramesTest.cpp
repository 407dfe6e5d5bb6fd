// Frames to UDP datagrams: what is passed over and why, IPv6 headers, and IPv4 reassembly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FrameBytes.h"
#include "Frames.h"

namespace {

using velkor::inspect::FrameReader;
using velkor::inspect::Link;
using velkor::inspect::UdpDatagram;
using namespace velkor::test;

struct ReadOutcome {
  std::vector<UdpDatagram> datagrams;
  std::vector<std::string> notes;  // skipped frames and, at the end, incomplete fragments
};

ReadOutcome ReadAll(Link link, const std::vector<Bytes>& frames) {
  FrameReader reader(link);
  ReadOutcome out;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    std::string why;
    auto d = reader.Read(i + 1, 0, 0, frames[i].data(), frames[i].size(), why);
    if (d) {
      out.datagrams.push_back(std::move(*d));
    } else if (!why.empty()) {
      out.notes.push_back("frame " + std::to_string(i + 1) + ": " + why);
    }
  }
  for (std::string& note : reader.TakeIncomplete()) {
    out.notes.push_back(std::move(note));
  }
  return out;
}

TEST(Frames, FramesThatCarryNoWholeUdpDatagramArePassedOver) {
  Bytes cut = Ipv4Udp(Bytes(40, 0xEE));
  cut.resize(cut.size() - 2);  // captured shorter than its IPv4 length
  Bytes bad_udp = Ipv4Udp(kPayload);
  bad_udp[24] = 0xFF;  // UDP length beyond the IPv4 packet
  Bytes v6_cut = Ipv6Udp(kPayload);
  v6_cut.resize(50);
  Bytes v6_fragment = Ipv6Udp(kPayload);
  v6_fragment[6] = 44;
  Bytes v6_tcp = Ipv6Udp(kPayload);
  v6_tcp[6] = 6;
  Bytes v6_bad_extension = Ipv6Udp(kPayload, 1);
  v6_bad_extension[41] = 200;  // extension length past the packet
  const ReadOutcome out =
      ReadAll(Link::kEthernet,
              {Ethernet(Ipv4Udp(kPayload), 0x0806), Ethernet(Ipv4Udp(kPayload, 6)), Bytes(10, 0),
               Ethernet(Ipv4Udp(kPayload)), Ethernet(cut), Ethernet(bad_udp),
               Ethernet(v6_cut, 0x86DD), Ethernet(v6_fragment, 0x86DD), Ethernet(v6_tcp, 0x86DD),
               Ethernet(v6_bad_extension, 0x86DD), Ethernet(Ipv6Udp(kPayload), 0x0800)});
  ASSERT_EQ(out.datagrams.size(), 1u);
  EXPECT_EQ(out.datagrams[0].frame, 4u);
  EXPECT_EQ(
      out.notes,
      (std::vector<std::string>{
          "frame 1: not IP", "frame 2: not UDP", "frame 3: Ethernet header cut short",
          "frame 5: IPv4 packet cut short by the capture", "frame 6: bad UDP length",
          "frame 7: IPv6 packet cut short by the capture", "frame 8: IPv6 fragment",
          "frame 9: not UDP", "frame 10: IPv6 extension header cut short", "frame 11: not IPv4"}));
}

TEST(Frames, Ipv6AddressesInTheirShortForm) {
  Bytes ip = Ipv6Udp(kPayload);
  // Source fe80::1:0:0:5 (the first run of zeros is the longer one), destination ::1.
  const Bytes source = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 5};
  std::copy(source.begin(), source.end(), ip.begin() + 8);
  std::fill(ip.begin() + 24, ip.begin() + 39, 0);
  const ReadOutcome out = ReadAll(Link::kRaw, {ip});
  ASSERT_EQ(out.datagrams.size(), 1u);
  EXPECT_TRUE(out.datagrams[0].ipv6);
  EXPECT_EQ(out.datagrams[0].from, "[fe80::1:0:0:5]:5000");
  EXPECT_EQ(out.datagrams[0].to, "[::1]:6000");
}

// Fragments of one 48-byte IP payload (UDP header + 40 bytes) in three parts.
TEST(Frames, Ipv4FragmentsAreReassembled) {
  Bytes data(40);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i);
  }
  const Bytes udp = Udp(data);
  const auto part = [&](std::size_t start, std::size_t end, bool more, std::uint16_t id = 7) {
    return Ipv4Fragment(id, start,
                        Bytes(udp.begin() + static_cast<std::ptrdiff_t>(start),
                              udp.begin() + static_cast<std::ptrdiff_t>(end)),
                        more);
  };
  struct Case {
    const char* what;
    std::vector<Bytes> frames;
    std::size_t datagrams;
    std::vector<std::string> notes;
  };
  const Case cases[] = {
      {"in order", {part(0, 16, true), part(16, 32, true), part(32, 48, false)}, 1, {}},
      {"last first", {part(32, 48, false), part(0, 16, true), part(16, 32, true)}, 1, {}},
      {"two datagrams interleaved",
       {part(0, 24, true, 1), part(0, 24, true, 2), part(24, 48, false, 2), part(24, 48, false, 1)},
       2,
       {}},
      {"a part missing",
       {part(0, 16, true), part(32, 48, false)},
       0,
       {"frame 1: IPv4 fragment of an incomplete datagram",
        "frame 2: IPv4 fragment of an incomplete datagram"}},
      {"overlapping parts",
       {part(0, 24, true), part(16, 48, false)},
       0,
       {"frame 2: IPv4 fragments that overlap or disagree (frames 1, 2)"}},
      {"a middle part not a multiple of 8",
       {part(0, 12, true)},
       0,
       {"frame 1: IPv4 fragment with bad lengths"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ReadOutcome out = ReadAll(Link::kIpv4, c.frames);
    EXPECT_EQ(out.notes, c.notes);
    ASSERT_EQ(out.datagrams.size(), c.datagrams);
    for (const UdpDatagram& d : out.datagrams) {
      EXPECT_EQ(d.payload, data);
      EXPECT_EQ(d.from, "10.0.0.2:5000");
      EXPECT_EQ(d.fragments.size(), c.frames.size() / c.datagrams);
    }
  }
  const ReadOutcome in_order = ReadAll(Link::kIpv4, cases[0].frames);
  EXPECT_EQ(in_order.datagrams[0].frame, 3u);
  EXPECT_EQ(in_order.datagrams[0].fragments, (std::vector<std::size_t>{1, 2, 3}));
}

// A flood of first fragments holds no more than the limit: the oldest are given up, and said so.
TEST(Frames, IncompleteDatagramsAreHeldUpToALimit) {
  std::vector<Bytes> frames;
  for (std::uint16_t id = 0; id < velkor::inspect::kMaxPendingDatagrams + 2; ++id) {
    frames.push_back(Ipv4Fragment(id, 0, Udp({1, 2, 3, 4, 5, 6, 7, 8}), true));
  }
  const ReadOutcome out = ReadAll(Link::kIpv4, frames);
  ASSERT_EQ(out.notes.size(), frames.size());
  EXPECT_EQ(out.notes[0], "frame 1: IPv4 fragment given up: too many incomplete datagrams");
  EXPECT_EQ(out.notes[2], "frame 3: IPv4 fragment of an incomplete datagram");
}

}  // namespace
