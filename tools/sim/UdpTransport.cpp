#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Transport.h"

namespace velkor::sim {
namespace {

constexpr std::size_t kLargestDatagram = 65536;

class UdpTransport final : public Transport {
 public:
  explicit UdpTransport(int fd) : fd_(fd) {}
  ~UdpTransport() override { close(fd_); }
  UdpTransport(const UdpTransport&) = delete;
  UdpTransport& operator=(const UdpTransport&) = delete;

  void Send(const Bytes& datagram) override {
    // A refused send (nothing listening yet) shows up again as unreachable on the receive.
    (void)send(fd_, datagram.data(), datagram.size(), 0);
  }

  Receive Await(int timeoutMs, Bytes& datagram) override {
    pollfd waiting{fd_, POLLIN, 0};
    const int ready = poll(&waiting, 1, timeoutMs);
    if (ready <= 0) {
      return Receive::kTimeout;
    }
    datagram.resize(kLargestDatagram);
    const ssize_t got = recv(fd_, datagram.data(), datagram.size(), 0);
    if (got < 0) {
      return errno == ECONNREFUSED ? Receive::kUnreachable : Receive::kTimeout;
    }
    datagram.resize(static_cast<std::size_t>(got));
    return Receive::kReply;
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<Transport> ConnectUdp(const std::string& host, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
    throw std::runtime_error("not an IPv4 address: " + host);
  }
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  }
  // Connected, so that only the host's datagrams arrive and a closed port reports back.
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close(fd);
    throw std::runtime_error(std::string("connect: ") + std::strerror(error));
  }
  return std::make_unique<UdpTransport>(fd);
}

}  // namespace velkor::sim
