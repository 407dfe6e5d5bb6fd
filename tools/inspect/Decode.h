// Decodes one packet of the device wire format: which link key text opens its security block,
// its head, and its payload.
//
// A packet that opens under the incoming key text (device to host) is decoded the way a host
// decodes it: a copy goes through PreparePackage and then through the Get functions of its
// command code. A packet that opens under the outgoing key text (a host's reply) is decoded
// from the reply layouts here, since the library reads no replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Json.h"

namespace velkor::inspect {

// The report of one packet, an object with these members:
//   length     bytes given
//   key        "incoming", "outgoing", "unsealed" (the reconnect packet) or "none"
//   direction  "device-to-host", "host-to-device" or "unknown"
//   prepare    what PreparePackage returns for the packet (0: the library drops it)
//   head       code, byte1, type, generation, serial (14 hex digits); free (block bytes 8..13)
//              once the block opened
//   block      check value of an opened block, or why neither key text opens it
//   family     what the payload is: "cards", "events", "configuration", ... ("short" for a
//              packet without a whole head, "sealed" when no key opens it)
//   payload    the decoded fields (absent when the packet carries none)
//   notes      remarks on anything odd: cut-off records, ambiguous layouts (absent if none)
// PreparePackage changes the library's network configuration record, which the decoding of a
// configuration packet reads, so packets are inspected one at a time.
Json InspectPacket(const std::uint8_t* bytes, std::size_t length);
inline Json InspectPacket(const std::vector<std::uint8_t>& bytes) {
  return InspectPacket(bytes.data(), bytes.size());
}

}  // namespace velkor::inspect
