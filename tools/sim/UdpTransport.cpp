#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Transport.h"

namespace velkor::sim {
namespace {

constexpr std::size_t kLargestDatagram = 65536;
// Room for the replies of many devices on one socket; the kernel may grant less.
constexpr int kSocketBuffer = 1 << 20;

sockaddr_in Ipv4(const std::string& text, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (inet_pton(AF_INET, text.c_str(), &address.sin_addr) != 1) {
    throw std::runtime_error("not an IPv4 address: " + text);
  }
  return address;
}

class UdpTransport final : public Transport {
 public:
  explicit UdpTransport(int fd) : fd_(fd), buffer_(kLargestDatagram) {}
  ~UdpTransport() override { close(fd_); }
  UdpTransport(const UdpTransport&) = delete;
  UdpTransport& operator=(const UdpTransport&) = delete;

  void Send(const Bytes& datagram) override {
    // A refused send (nothing listening yet) shows up again as unreachable on the receive.
    (void)send(fd_, datagram.data(), datagram.size(), 0);
  }

  Receive Await(int timeoutMs, Bytes& datagram) override {
    if (timeoutMs > 0) {
      pollfd waiting{fd_, POLLIN, 0};
      if (poll(&waiting, 1, timeoutMs) <= 0) {
        return Receive::kTimeout;
      }
    }
    const ssize_t got = recv(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
    if (got < 0) {
      return errno == ECONNREFUSED ? Receive::kUnreachable : Receive::kTimeout;
    }
    datagram.assign(buffer_.begin(), buffer_.begin() + got);
    return Receive::kReply;
  }

  int Descriptor() const override { return fd_; }

 private:
  int fd_;
  Bytes buffer_;
};

class EpollPoller final : public Poller {
 public:
  explicit EpollPoller(const std::vector<int>& descriptors)
      : fd_(epoll_create1(EPOLL_CLOEXEC)), events_(descriptors.size()) {
    if (fd_ < 0) {
      throw std::runtime_error(std::string("epoll_create1: ") + std::strerror(errno));
    }
    for (std::size_t i = 0; i < descriptors.size(); ++i) {
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u32 = static_cast<std::uint32_t>(i);
      if (epoll_ctl(fd_, EPOLL_CTL_ADD, descriptors[i], &event) != 0) {
        const int error = errno;
        close(fd_);
        throw std::runtime_error(std::string("epoll_ctl: ") + std::strerror(error));
      }
    }
  }
  ~EpollPoller() override { close(fd_); }
  EpollPoller(const EpollPoller&) = delete;
  EpollPoller& operator=(const EpollPoller&) = delete;

  void Wait(std::chrono::microseconds timeout, std::vector<std::uint32_t>& ready) override {
    ready.clear();
    const auto us = std::max<std::int64_t>(0, timeout.count());
    const timespec wait{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    int count = -1;
    if (precise_) {
      count = epoll_pwait2(fd_, events_.data(), static_cast<int>(events_.size()), &wait, nullptr);
      precise_ = !(count < 0 && errno == ENOSYS);
    }
    if (!precise_) {  // a kernel before 5.11: whole milliseconds, rounded up
      count = epoll_wait(fd_, events_.data(), static_cast<int>(events_.size()),
                         static_cast<int>((us + 999) / 1000));
    }
    for (int i = 0; i < count; ++i) {
      ready.push_back(events_[static_cast<std::size_t>(i)].data.u32);
    }
  }

 private:
  int fd_;
  std::vector<epoll_event> events_;
  bool precise_ = true;  // epoll_pwait2 is there
};

}  // namespace

std::unique_ptr<Transport> ConnectUdp(const std::string& host, std::uint16_t port,
                                      const std::string& bind) {
  const sockaddr_in address = Ipv4(host, port);
  const sockaddr_in local = Ipv4(bind.empty() ? "0.0.0.0" : bind, 0);
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  }
  auto fail = [fd](const std::string& what) {
    const int error = errno;
    close(fd);
    throw std::runtime_error(what + ": " + std::strerror(error));
  };
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
  (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
  if (!bind.empty() && ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    fail("bind " + bind);
  }
  // Connected, so that only the host's datagrams arrive and a closed port reports back.
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    fail("connect");
  }
  return std::make_unique<UdpTransport>(fd);
}

std::unique_ptr<Poller> MakePoller(const std::vector<int>& descriptors) {
  return std::make_unique<EpollPoller>(descriptors);
}

}  // namespace velkor::sim
