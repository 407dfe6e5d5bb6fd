#include "Pcap.h"

#include <cstdio>

namespace velkor::inspect {
namespace {

constexpr std::size_t kFileHeader = 24;
constexpr std::size_t kRecordHeader = 16;
// Largest record the reader takes: the biggest snapshot length tools write.
constexpr std::uint32_t kMaxRecord = 262144;

constexpr std::uint32_t kMagicMicro = 0xA1B2C3D4;
constexpr std::uint32_t kMagicNano = 0xA1B23C4D;

constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherVlan = 0x8100;
constexpr std::uint16_t kEtherQinQ = 0x88A8;
constexpr std::uint8_t kProtocolUdp = 17;

// Bounds-checked view of the file: every read says whether the bytes were there.
class View {
 public:
  View(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}
  std::size_t size() const { return size_; }
  bool Has(std::size_t offset, std::size_t count) const {
    return offset <= size_ && count <= size_ - offset;
  }
  std::uint8_t U8(std::size_t offset) const { return bytes_[offset]; }
  std::uint16_t Be16(std::size_t offset) const {
    return static_cast<std::uint16_t>(bytes_[offset] << 8 | bytes_[offset + 1]);
  }
  std::uint32_t U32(std::size_t offset, bool swapped) const {
    const std::uint32_t b0 = bytes_[offset], b1 = bytes_[offset + 1], b2 = bytes_[offset + 2],
                        b3 = bytes_[offset + 3];
    return swapped ? (b0 << 24 | b1 << 16 | b2 << 8 | b3) : (b3 << 24 | b2 << 16 | b1 << 8 | b0);
  }
  View Sub(std::size_t offset, std::size_t count) const { return {bytes_ + offset, count}; }
  const std::uint8_t* data() const { return bytes_; }

 private:
  const std::uint8_t* bytes_;
  std::size_t size_;
};

std::string Frame(std::size_t frame, const char* why) {
  return "frame " + std::to_string(frame) + ": " + why;
}

// Finds the IPv4 packet in a frame of the given link type; returns false with `why` set.
bool IpOffset(const View& frame, std::uint32_t link_type, std::size_t& offset, const char*& why) {
  switch (link_type) {
    case kLinkEthernet: {
      offset = 12;
      if (!frame.Has(offset, 2)) {
        why = "Ethernet header cut short";
        return false;
      }
      std::uint16_t ether_type = frame.Be16(offset);
      // Up to two VLAN tags.
      for (int tags = 0; tags < 2 && (ether_type == kEtherVlan || ether_type == kEtherQinQ);
           ++tags) {
        offset += 4;
        if (!frame.Has(offset, 2)) {
          why = "VLAN tag cut short";
          return false;
        }
        ether_type = frame.Be16(offset);
      }
      if (ether_type != kEtherIpv4) {
        why = "not IPv4";
        return false;
      }
      offset += 2;
      return true;
    }
    case kLinkLinuxCooked:
      if (!frame.Has(14, 2)) {
        why = "cooked header cut short";
        return false;
      }
      if (frame.Be16(14) != kEtherIpv4) {
        why = "not IPv4";
        return false;
      }
      offset = 16;
      return true;
    case kLinkRaw:
    case kLinkIpv4:
      offset = 0;
      return true;
    default:
      why = "unsupported link type";
      return false;
  }
}

// Takes the UDP payload out of the IPv4 packet at `ip`; returns false with `why` set.
bool ReadUdp(const View& frame, std::size_t ip, UdpDatagram& datagram, const char*& why) {
  if (!frame.Has(ip, 20)) {
    why = "IPv4 header cut short";
    return false;
  }
  const std::uint8_t version_ihl = frame.U8(ip);
  if (version_ihl >> 4 != 4) {
    why = "not IPv4";
    return false;
  }
  const std::size_t header = static_cast<std::size_t>(version_ihl & 0x0F) * 4;
  const std::size_t total = frame.Be16(ip + 2);
  if (header < 20 || total < header) {
    why = "bad IPv4 lengths";
    return false;
  }
  if (!frame.Has(ip, total)) {
    why = "IPv4 packet cut short by the capture";
    return false;
  }
  if ((frame.Be16(ip + 6) & 0x3FFF) != 0) {  // more-fragments flag or a fragment offset
    why = "IPv4 fragment";
    return false;
  }
  if (frame.U8(ip + 9) != kProtocolUdp) {
    why = "not UDP";
    return false;
  }
  for (int i = 0; i < 4; ++i) {
    datagram.source[i] = frame.U8(ip + 12 + static_cast<std::size_t>(i));
    datagram.destination[i] = frame.U8(ip + 16 + static_cast<std::size_t>(i));
  }
  const std::size_t udp = ip + header;
  if (total - header < 8) {
    why = "UDP header cut short";
    return false;
  }
  const std::size_t udp_length = frame.Be16(udp + 4);
  if (udp_length < 8 || udp_length > total - header) {
    why = "bad UDP length";
    return false;
  }
  datagram.source_port = frame.Be16(udp);
  datagram.destination_port = frame.Be16(udp + 2);
  datagram.payload.assign(frame.data() + udp + 8, frame.data() + udp + udp_length);
  return true;
}

}  // namespace

Capture ReadCapture(const std::uint8_t* bytes, std::size_t size) {
  Capture capture;
  const View file(bytes, size);
  if (!file.Has(0, kFileHeader)) {
    capture.error = "not a capture file: shorter than its 24-byte header";
    return capture;
  }
  bool swapped = false;
  const std::uint32_t magic = file.U32(0, false);
  if (magic == kMagicMicro || magic == kMagicNano) {
    swapped = false;
  } else if (file.U32(0, true) == kMagicMicro || file.U32(0, true) == kMagicNano) {
    swapped = true;
  } else {
    capture.error = "not a classic capture file (unknown magic number)";
    return capture;
  }
  capture.nanoseconds = file.U32(0, swapped) == kMagicNano;
  // The upper bits of the link type field carry flags in newer files.
  capture.link_type = file.U32(20, swapped) & 0x0FFFFFFF;
  if (capture.link_type != kLinkEthernet && capture.link_type != kLinkRaw &&
      capture.link_type != kLinkLinuxCooked && capture.link_type != kLinkIpv4) {
    capture.error = "unsupported link type " + std::to_string(capture.link_type);
    return capture;
  }

  std::size_t offset = kFileHeader;
  for (std::size_t frame = 1; offset < file.size(); ++frame) {
    if (!file.Has(offset, kRecordHeader)) {
      capture.error = Frame(frame, "record header cut short");
      return capture;
    }
    const std::uint32_t captured = file.U32(offset + 8, swapped);
    if (captured > kMaxRecord) {
      capture.error = Frame(frame, "record length too large");
      return capture;
    }
    if (!file.Has(offset + kRecordHeader, captured)) {
      capture.error = Frame(frame, "record cut short");
      return capture;
    }
    UdpDatagram datagram;
    datagram.frame = frame;
    datagram.seconds = file.U32(offset, swapped);
    datagram.fraction = file.U32(offset + 4, swapped);
    const View data = file.Sub(offset + kRecordHeader, captured);
    offset += kRecordHeader + captured;

    std::size_t ip = 0;
    const char* why = nullptr;
    if (IpOffset(data, capture.link_type, ip, why) && ReadUdp(data, ip, datagram, why)) {
      capture.datagrams.push_back(std::move(datagram));
    } else {
      capture.skipped.push_back(Frame(frame, why));
    }
  }
  return capture;
}

std::string FormatEndpoint(const std::uint8_t address[4], std::uint16_t port) {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", address[0], address[1], address[2], address[3],
                port);
  return text;
}

}  // namespace velkor::inspect
