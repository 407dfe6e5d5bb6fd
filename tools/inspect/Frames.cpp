#include "Frames.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace velkor::inspect {
namespace {

constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherIpv6 = 0x86DD;
constexpr std::uint16_t kEtherVlan = 0x8100;
constexpr std::uint16_t kEtherQinQ = 0x88A8;
constexpr std::uint16_t kEtherQinQOld = 0x9100;
constexpr std::uint8_t kProtocolUdp = 17;
constexpr std::size_t kUdpHeader = 8;

// IPv6 extension headers that may come before UDP; a fragment header stops the walk.
constexpr std::uint8_t kHopByHop = 0;
constexpr std::uint8_t kRouting = 43;
constexpr std::uint8_t kFragment = 44;
constexpr std::uint8_t kDestinationOptions = 60;
constexpr std::uint8_t kNoNext = 59;

std::uint16_t Be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::uint32_t Be32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

std::string Ipv4Endpoint(const std::uint8_t* address, std::uint16_t port) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", address[0], address[1], address[2], address[3],
                port);
  return text;
}

// RFC 5952 text: lower-case hex, the longest run of two or more zero groups as "::".
std::string Ipv6Endpoint(const std::uint8_t* address, std::uint16_t port) {
  std::uint16_t groups[8];
  for (int i = 0; i < 8; ++i) {
    groups[i] = Be16(address + 2 * i);
  }
  int best = -1, best_length = 1;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && groups[j] == 0) {
      ++j;
    }
    if (j - i > best_length) {
      best = i;
      best_length = j - i;
    }
    i = j > i ? j : i + 1;
  }
  std::string out = "[";
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      out += "::";
      i += best_length - 1;
      continue;
    }
    if (out.size() > 1 && out.back() != ':') {
      out += ':';
    }
    char group[8];
    std::snprintf(group, sizeof group, "%x", groups[i]);
    out += group;
  }
  char tail[16];
  std::snprintf(tail, sizeof tail, "]:%u", port);
  return out + tail;
}

// The UDP header and payload at `udp` (`size` bytes of IP payload): false with `why` set when
// they do not fit.
bool TakeUdp(const std::uint8_t* udp, std::size_t size, UdpDatagram& datagram,
             std::uint16_t& source_port, std::uint16_t& destination_port, std::string& why) {
  if (size < kUdpHeader) {
    why = "UDP header cut short";
    return false;
  }
  const std::size_t length = Be16(udp + 4);
  if (length < kUdpHeader || length > size) {
    why = "bad UDP length";
    return false;
  }
  source_port = Be16(udp);
  destination_port = Be16(udp + 2);
  datagram.payload.assign(udp + kUdpHeader, udp + length);
  return true;
}

}  // namespace

std::string FrameNote(std::size_t frame, const std::string& why) {
  return "frame " + std::to_string(frame) + ": " + why;
}

std::optional<UdpDatagram> FrameReader::Read(std::size_t frame, std::int64_t seconds,
                                             std::uint32_t fraction, const std::uint8_t* bytes,
                                             std::size_t size, std::string& why) {
  why.clear();
  UdpDatagram datagram;
  datagram.frame = frame;
  datagram.seconds = seconds;
  datagram.fraction = fraction;

  // Where the IP packet starts and which version the link layer says it is (0: look).
  std::size_t offset = 0;
  int version = 0;
  switch (link_) {
    case Link::kEthernet: {
      offset = 12;
      if (size < offset + 2) {
        why = "Ethernet header cut short";
        return std::nullopt;
      }
      std::uint16_t ether_type = Be16(bytes + offset);
      for (int tags = 0; tags < 2 && (ether_type == kEtherVlan || ether_type == kEtherQinQ ||
                                      ether_type == kEtherQinQOld);
           ++tags) {
        offset += 4;
        if (size < offset + 2) {
          why = "VLAN tag cut short";
          return std::nullopt;
        }
        ether_type = Be16(bytes + offset);
      }
      offset += 2;
      if (ether_type == kEtherIpv4) {
        version = 4;
      } else if (ether_type == kEtherIpv6) {
        version = 6;
      } else {
        why = "not IP";
        return std::nullopt;
      }
      break;
    }
    case Link::kLoopback:
    case Link::kLoopbackNet: {
      if (size < 4) {
        why = "loopback header cut short";
        return std::nullopt;
      }
      // AF_INET is 2 everywhere; AF_INET6 is 10, 24, 28 or 30 depending on the system. Either
      // byte order is taken: the capturing host's may not be ours.
      std::uint32_t family = Be32(bytes);
      if (family > 0xFFFF) {
        family =
            static_cast<std::uint32_t>(bytes[3]) << 24 | bytes[2] << 16 | bytes[1] << 8 | bytes[0];
      }
      offset = 4;
      if (family == 2) {
        version = 4;
      } else if (family == 10 || family == 24 || family == 28 || family == 30) {
        version = 6;
      } else {
        why = "not IP";
        return std::nullopt;
      }
      break;
    }
    case Link::kLinuxCooked:
    case Link::kLinuxCooked2: {
      const bool v2 = link_ == Link::kLinuxCooked2;
      offset = v2 ? 20 : 16;
      if (size < offset) {
        why = "cooked header cut short";
        return std::nullopt;
      }
      const std::uint16_t protocol = Be16(bytes + (v2 ? 0 : 14));
      if (protocol == kEtherIpv4) {
        version = 4;
      } else if (protocol == kEtherIpv6) {
        version = 6;
      } else {
        why = "not IP";
        return std::nullopt;
      }
      break;
    }
    case Link::kRaw:
      break;
    case Link::kIpv4:
      version = 4;
      break;
    case Link::kIpv6:
      version = 6;
      break;
  }

  const std::uint8_t* ip = bytes + offset;
  const std::size_t left = size - offset;
  if (left == 0) {
    why = "no IP header";
    return std::nullopt;
  }
  const int stated = ip[0] >> 4;
  if (version == 0) {
    version = stated;
  }
  if (version == 4 && stated == 4) {
    return Ipv4(ip, left, datagram, why);
  }
  if (version == 6 && stated == 6) {
    return Ipv6(ip, left, datagram, why);
  }
  why = version == 4 ? "not IPv4" : version == 6 ? "not IPv6" : "not IP";
  return std::nullopt;
}

std::optional<UdpDatagram> FrameReader::Ipv4(const std::uint8_t* ip, std::size_t size,
                                             UdpDatagram& datagram, std::string& why) {
  if (size < 20) {
    why = "IPv4 header cut short";
    return std::nullopt;
  }
  const std::size_t header = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
  const std::size_t total = Be16(ip + 2);
  if (header < 20 || total < header) {
    why = "bad IPv4 lengths";
    return std::nullopt;
  }
  if (total > size) {
    why = "IPv4 packet cut short by the capture";
    return std::nullopt;
  }
  if (ip[9] != kProtocolUdp) {
    why = "not UDP";
    return std::nullopt;
  }
  if ((Be16(ip + 6) & 0x3FFF) != 0) {  // more-fragments flag or a fragment offset
    return Fragment(ip, header, total, datagram, why);
  }
  std::uint16_t source_port = 0, destination_port = 0;
  if (!TakeUdp(ip + header, total - header, datagram, source_port, destination_port, why)) {
    return std::nullopt;
  }
  datagram.from = Ipv4Endpoint(ip + 12, source_port);
  datagram.to = Ipv4Endpoint(ip + 16, destination_port);
  return datagram;
}

std::optional<UdpDatagram> FrameReader::Fragment(const std::uint8_t* ip, std::size_t header,
                                                 std::size_t total, UdpDatagram& datagram,
                                                 std::string& why) {
  const std::uint16_t flags = Be16(ip + 6);
  const bool more = (flags & 0x2000) != 0;
  const std::size_t start = static_cast<std::size_t>(flags & 0x1FFF) * 8;
  const std::size_t length = total - header;
  const std::size_t end = start + length;
  if ((more && (length == 0 || length % 8 != 0)) || end > kMaxDatagram - 20) {
    why = "IPv4 fragment with bad lengths";
    return std::nullopt;
  }
  const std::uint16_t id = Be16(ip + 4);
  auto same = [&](const Pending& p) {
    return p.id == id && std::memcmp(p.source, ip + 12, 4) == 0 &&
           std::memcmp(p.destination, ip + 16, 4) == 0;
  };
  auto it = std::find_if(pending_.begin(), pending_.end(), same);
  if (it == pending_.end()) {
    if (pending_.size() == kMaxPendingDatagrams) {
      for (std::size_t frame : pending_.front().frames) {
        given_up_.emplace_back(
            frame, FrameNote(frame, "IPv4 fragment given up: too many incomplete datagrams"));
      }
      pending_.pop_front();
    }
    Pending p{};
    std::memcpy(p.source, ip + 12, 4);
    std::memcpy(p.destination, ip + 16, 4);
    p.id = id;
    pending_.push_back(std::move(p));
    it = std::prev(pending_.end());
  }
  Pending& p = *it;
  p.frames.push_back(datagram.frame);

  // A fragment that contradicts what came before (a second end, data past the end, bytes laid
  // over others) spoils the whole datagram: no guessing which copy the receiver kept.
  const std::size_t units = (end + 7) / 8;
  bool spoiled = (p.last_seen && (!more || end > p.length)) || (!more && end < p.data.size());
  for (std::size_t u = start / 8; !spoiled && u < units && u < p.have.size(); ++u) {
    spoiled = p.have[u];
  }
  if (spoiled) {
    std::string frames;
    for (std::size_t f : p.frames) {
      frames += (frames.empty() ? "" : ", ") + std::to_string(f);
    }
    pending_.erase(it);
    why = "IPv4 fragments that overlap or disagree (frames " + frames + ")";
    return std::nullopt;
  }
  if (p.data.size() < end) {
    p.data.resize(end);
    p.have.resize(units, false);
  }
  std::copy(ip + header, ip + total, p.data.begin() + static_cast<std::ptrdiff_t>(start));
  std::fill(p.have.begin() + static_cast<std::ptrdiff_t>(start / 8),
            p.have.begin() + static_cast<std::ptrdiff_t>(units), true);
  if (!more) {
    p.last_seen = true;
    p.length = end;
  }
  if (!p.last_seen || !std::all_of(p.have.begin(), p.have.end(), [](bool b) { return b; })) {
    return std::nullopt;  // held; `why` stays empty
  }

  std::uint16_t source_port = 0, destination_port = 0;
  const bool ok = TakeUdp(p.data.data(), p.length, datagram, source_port, destination_port, why);
  if (ok) {
    datagram.from = Ipv4Endpoint(p.source, source_port);
    datagram.to = Ipv4Endpoint(p.destination, destination_port);
    datagram.fragments = p.frames;
  } else {
    why = "reassembled IPv4 datagram: " + why;
  }
  pending_.erase(it);
  return ok ? std::optional<UdpDatagram>(std::move(datagram)) : std::nullopt;
}

std::optional<UdpDatagram> FrameReader::Ipv6(const std::uint8_t* ip, std::size_t size,
                                             UdpDatagram& datagram, std::string& why) {
  constexpr std::size_t kHeader = 40;
  if (size < kHeader) {
    why = "IPv6 header cut short";
    return std::nullopt;
  }
  const std::size_t payload = Be16(ip + 4);
  if (payload == 0) {
    why = "IPv6 jumbogram or empty payload";
    return std::nullopt;
  }
  if (kHeader + payload > size) {
    why = "IPv6 packet cut short by the capture";
    return std::nullopt;
  }
  std::uint8_t next = ip[6];
  std::size_t at = kHeader;
  const std::size_t end = kHeader + payload;
  while (next == kHopByHop || next == kRouting || next == kDestinationOptions) {
    if (end - at < 8) {
      why = "IPv6 extension header cut short";
      return std::nullopt;
    }
    const std::size_t length = (static_cast<std::size_t>(ip[at + 1]) + 1) * 8;
    if (length > end - at) {
      why = "IPv6 extension header cut short";
      return std::nullopt;
    }
    next = ip[at];
    at += length;
  }
  if (next == kFragment) {
    why = "IPv6 fragment";
    return std::nullopt;
  }
  if (next != kProtocolUdp) {
    why = next == kNoNext ? "IPv6 without payload" : "not UDP";
    return std::nullopt;
  }
  std::uint16_t source_port = 0, destination_port = 0;
  if (!TakeUdp(ip + at, end - at, datagram, source_port, destination_port, why)) {
    return std::nullopt;
  }
  datagram.ipv6 = true;
  datagram.from = Ipv6Endpoint(ip + 8, source_port);
  datagram.to = Ipv6Endpoint(ip + 24, destination_port);
  return datagram;
}

std::vector<std::string> FrameReader::TakeIncomplete() {
  std::vector<std::pair<std::size_t, std::string>> held = std::move(given_up_);
  given_up_.clear();
  for (const Pending& p : pending_) {
    for (std::size_t frame : p.frames) {
      held.emplace_back(frame, FrameNote(frame, "IPv4 fragment of an incomplete datagram"));
    }
  }
  pending_.clear();
  std::sort(held.begin(), held.end());
  std::vector<std::string> out;
  for (auto& [frame, note] : held) {
    out.push_back(std::move(note));
  }
  return out;
}

}  // namespace velkor::inspect
