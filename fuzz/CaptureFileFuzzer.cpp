// Capture files: any bytes read as a capture through libpcap (classic pcap or pcapng), the
// frames taken apart down to UDP (IPv4 fragments put together), and every datagram found
// decoded as a device link packet. Nothing may read out of bounds, and a datagram must hold
// no more bytes than the input.
//
// Input: a capture file.
#include "Capture.h"
#include "Decode.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const velkor::inspect::Capture capture = velkor::inspect::ReadCapture(data, size);
  for (const velkor::inspect::UdpDatagram& d : capture.datagrams) {
    FUZZ_CHECK(d.payload.size() <= size);
    velkor::inspect::InspectPacket(d.payload);
  }
  return 0;
}
