// How a simulated device reaches the host: one datagram out, one datagram in.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "DeviceState.h"

namespace velkor::sim {

enum class Receive { kReply, kTimeout, kUnreachable };

class Transport {
 public:
  virtual ~Transport() = default;
  virtual void Send(const Bytes& datagram) = 0;
  // Waits up to `timeoutMs` for one datagram from the host.
  virtual Receive Await(int timeoutMs, Bytes& datagram) = 0;
};

// A UDP socket of the device's own, connected to the host's address. Throws
// std::runtime_error when the socket cannot be set up or the address is not IPv4.
std::unique_ptr<Transport> ConnectUdp(const std::string& host, std::uint16_t port);

}  // namespace velkor::sim
