// How simulated devices reach the host: one datagram out, one datagram in. Devices may share a
// transport; the replies name their device by serial.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DeviceState.h"

namespace velkor::sim {

enum class Receive { kReply, kTimeout, kUnreachable };

class Transport {
 public:
  virtual ~Transport() = default;
  virtual void Send(const Bytes& datagram) = 0;
  // Waits up to `timeoutMs` for one datagram from the host; 0 only looks.
  virtual Receive Await(int timeoutMs, Bytes& datagram) = 0;
  // A descriptor that polls readable when a datagram (or an error) waits; -1 when there is
  // none, and then Await(0) must be asked.
  virtual int Descriptor() const { return -1; }
};

// A UDP socket connected to the host's address, bound first to the local IPv4 address `bind`
// when it is not empty. Throws std::runtime_error when the socket cannot be set up or an
// address is not IPv4.
std::unique_ptr<Transport> ConnectUdp(const std::string& host, std::uint16_t port,
                                      const std::string& bind = {});

// Waits on many descriptors at once.
class Poller {
 public:
  virtual ~Poller() = default;
  // Waits up to `timeout` (to the microsecond where the kernel can) and fills `ready` with the
  // indices (into the descriptors given to MakePoller) of those that can be read; an
  // interrupted wait returns with none.
  virtual void Wait(std::chrono::microseconds timeout, std::vector<std::uint32_t>& ready) = 0;
};

std::unique_ptr<Poller> MakePoller(const std::vector<int>& descriptors);

}  // namespace velkor::sim
