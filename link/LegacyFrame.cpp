#include "link/LegacyFrame.h"

#include <algorithm>
#include <cstring>

#include "link/NetConfig.h"
#include "link/Seal.h"
#include "link/Utility.h"
#include "link/Wire.h"

namespace velkor::link {

std::int32_t SendLegacyFrame(std::uint8_t* packet, std::uint8_t opcode,
                             std::span<const std::uint8_t> data) {
  const std::size_t count = std::min(data.size(), wire::kFrameDataLength);
  packet[wire::kCommandCode] = wire::code::kControl;
  packet[wire::kLegacyMarker] = 1;
  SealPacket(packet);
  std::memset(packet + wire::kFrame, wire::kUnusedFill, wire::kFrameLength - 1);
  packet[wire::kFrame] = wire::kFrameLead;
  packet[wire::kFrame + 1] = wire::kFrameLead;
  packet[wire::kFrameOpcode] = opcode;
  std::copy_n(data.begin(), count, packet + wire::kFrameData);
  packet[wire::kFrameSum] =
      static_cast<std::uint8_t>(SumByte(packet + wire::kFrameOpcode, wire::kFrameSummed));
  packet[wire::kFrameTail] = wire::kFrameTrail;
  packet[wire::kFrameTail + 1] = wire::kFrameTrail;
  EchoNetConfig(packet);
  return static_cast<std::int32_t>(wire::kLegacyReplyLength);
}

}  // namespace velkor::link
