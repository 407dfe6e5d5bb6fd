// UDP datagrams out of captured link-layer frames: Ethernet (with up to two VLAN tags), BSD
// loopback, Linux cooked (v1 and v2) and raw IP link types; IPv4 and IPv6. Fragmented IPv4
// datagrams are put together again from their fragments. Every length is checked against the
// bytes that are really there, so a damaged frame is passed over with a reason instead of
// being read out of bounds. Nothing here reads files: the capture readers hand frames in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velkor::inspect {

// The link types frames can come in, as libpcap names them.
enum class Link {
  kEthernet,      // DLT_EN10MB
  kLoopback,      // DLT_NULL: a 4-byte address family in the capturing host's byte order
  kLoopbackNet,   // DLT_LOOP: the same in network byte order
  kLinuxCooked,   // DLT_LINUX_SLL
  kLinuxCooked2,  // DLT_LINUX_SLL2
  kRaw,           // DLT_RAW: IPv4 or IPv6, told by the version nibble
  kIpv4,          // DLT_IPV4
  kIpv6,          // DLT_IPV6
};

struct UdpDatagram {
  std::size_t frame = 0;  // 1-based frame number; for a reassembled datagram its last fragment's
  std::int64_t seconds = 0;
  std::uint32_t fraction = 0;  // microseconds or nanoseconds, as the capture has them
  std::string from;            // "192.0.2.1:6001", "[2001:db8::1]:6001"
  std::string to;
  bool ipv6 = false;
  // The frames a reassembled IPv4 datagram came in, in the order they arrived; empty when it
  // came whole.
  std::vector<std::size_t> fragments;
  std::vector<std::uint8_t> payload;
};

// The longest IPv4 datagram a set of fragments may make up, and how many incomplete datagrams
// are held at a time (the oldest is given up for a new one).
inline constexpr std::size_t kMaxDatagram = 65535;
inline constexpr std::size_t kMaxPendingDatagrams = 64;

class FrameReader {
 public:
  explicit FrameReader(Link link) : link_(link) {}

  // Reads one frame. Returns the datagram it carries or completes; otherwise nothing, with
  // `why` set to the reason the frame is passed over, or left empty when the frame is a
  // fragment held for reassembly.
  std::optional<UdpDatagram> Read(std::size_t frame, std::int64_t seconds, std::uint32_t fraction,
                                  const std::uint8_t* bytes, std::size_t size, std::string& why);

  // A note for every fragment still held ("frame N: IPv4 fragment of an incomplete datagram")
  // or given up for a newer datagram, in frame order; the reader forgets them.
  std::vector<std::string> TakeIncomplete();

 private:
  // An IPv4 datagram whose fragments are coming in.
  struct Pending {
    std::uint8_t source[4];
    std::uint8_t destination[4];
    std::uint16_t id;
    std::vector<std::uint8_t> data;  // the IP payload so far
    std::vector<bool> have;          // per 8-byte unit of the payload
    std::size_t length = 0;          // payload length, once the last fragment came; else 0
    bool last_seen = false;
    std::vector<std::size_t> frames;
  };

  std::optional<UdpDatagram> Ipv4(const std::uint8_t* ip, std::size_t size, UdpDatagram& datagram,
                                  std::string& why);
  std::optional<UdpDatagram> Ipv6(const std::uint8_t* ip, std::size_t size, UdpDatagram& datagram,
                                  std::string& why);
  std::optional<UdpDatagram> Fragment(const std::uint8_t* ip, std::size_t header, std::size_t total,
                                      UdpDatagram& datagram, std::string& why);

  Link link_;
  std::deque<Pending> pending_;
  std::vector<std::pair<std::size_t, std::string>> given_up_;
};

// "frame 12: not UDP".
std::string FrameNote(std::size_t frame, const std::string& why);

}  // namespace velkor::inspect
