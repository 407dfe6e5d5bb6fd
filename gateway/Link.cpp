#include "Link.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace velkor::gateway {
namespace {

constexpr int kTickMs = 250;
constexpr int kSocketBuffer = 4 << 20;  // room for bursts from many devices while a commit runs

}  // namespace

bool IsLoopbackAddress(const std::string& host) {
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
      return v6.s6_addr[12] == 127;
    }
    return IN6_IS_ADDR_LOOPBACK(&v6);
  }
  return false;
}

bool SplitHostPort(const std::string& text, std::string& host, std::uint16_t& port) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 >= text.size()) {
    return false;
  }
  host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  const std::string digits = text.substr(colon + 1);
  if (host.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long value = std::stoul(digits);
  if (value > 65535) {
    return false;
  }
  port = static_cast<std::uint16_t>(value);
  return true;
}

std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text,
              sizeof text);
  }
  return text;
}

std::uint16_t AddressPort(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  }
  return 0;
}

Link::Link(const std::string& listen) : batch_(kMaxBatch) {
  std::string host;
  std::uint16_t port = 0;
  if (!SplitHostPort(listen, host, port)) {
    throw std::runtime_error("--listen " + listen + ": not HOST:PORT");
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 ||
      found == nullptr) {
    throw std::runtime_error("--listen " + listen + ": not a numeric IPv4 or IPv6 address");
  }
  fd_ = socket(found->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || bind(fd_, found->ai_addr, found->ai_addrlen) != 0) {
    const int error = errno;
    freeaddrinfo(found);
    if (fd_ >= 0) {
      close(fd_);
    }
    throw std::runtime_error(
        "cannot listen on UDP " + listen + ": " + std::strerror(error) +
        (error == EADDRINUSE ? " (another gateway or host on that port?)" : ""));
  }
  freeaddrinfo(found);
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
  setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
}

Link::~Link() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

std::string Link::BoundText() const {
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
  const std::string host = AddressText(bound);
  const std::string port = std::to_string(AddressPort(bound));
  return bound.ss_family == AF_INET6 ? "[" + host + "]:" + port : host + ":" + port;
}

std::size_t Link::Receive(bool wait) {
  if (wait) {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, kTickMs) <= 0) {
      return 0;
    }
  }
  // Everything that has arrived, in calls of kReceiveAtOnce, up to kMaxBatch.
  std::vector<mmsghdr> headers(kReceiveAtOnce);
  std::vector<iovec> vectors(kReceiveAtOnce);
  std::size_t total = 0;
  while (total < kMaxBatch) {
    const std::size_t room = std::min(kReceiveAtOnce, kMaxBatch - total);
    for (std::size_t i = 0; i < room; ++i) {
      Datagram& d = batch_[total + i];
      // One byte more than the longest datagram taken, so a longer one shows.
      vectors[i] = {d.buffer.data(), kMaxDatagram + 1};
      headers[i] = {};
      headers[i].msg_hdr.msg_name = &d.from;
      headers[i].msg_hdr.msg_namelen = sizeof d.from;
      headers[i].msg_hdr.msg_iov = &vectors[i];
      headers[i].msg_hdr.msg_iovlen = 1;
    }
    const int got =
        recvmmsg(fd_, headers.data(), static_cast<unsigned>(room), MSG_DONTWAIT, nullptr);
    if (got <= 0) {
      break;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
      Datagram& d = batch_[total + i];
      d.length = headers[i].msg_len;
      d.fromLength = headers[i].msg_hdr.msg_namelen;
      d.oversized = d.length > kMaxDatagram || (headers[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
      d.reply = 0;
    }
    total += static_cast<std::size_t>(got);
    if (static_cast<std::size_t>(got) < room) {
      break;
    }
  }
  return total;
}

void Link::Send(std::span<Datagram> datagrams) {
  const std::size_t count = datagrams.size();
  std::vector<mmsghdr> headers;
  std::vector<iovec> vectors(count);
  headers.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    Datagram& d = datagrams[i];
    if (d.reply <= 0) {
      continue;
    }
    vectors[i] = {d.buffer.data(), static_cast<std::size_t>(d.reply)};
    mmsghdr header{};
    header.msg_hdr.msg_name = &d.to;
    header.msg_hdr.msg_namelen = d.toLength;
    header.msg_hdr.msg_iov = &vectors[i];
    header.msg_hdr.msg_iovlen = 1;
    headers.push_back(header);
  }
  std::size_t sent = 0;
  while (sent < headers.size()) {
    const int n =
        sendmmsg(fd_, headers.data() + sent, static_cast<unsigned>(headers.size() - sent), 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        continue;
      }
      ++sent;  // a reply the kernel refuses (an address gone, say) is skipped, not retried
      continue;
    }
    sent += static_cast<std::size_t>(n);
  }
}

void Link::Serve(BatchHandler& handler, const std::atomic<bool>& stop) {
  while (!stop.load()) {
    std::size_t count = Receive(true);
    if (count == 0) {
      handler.Tick();
      continue;
    }
    const std::span<Datagram> batch(batch_.data(), count);
    handler.Handle(batch);
    Send(batch);
    handler.Tick();
  }
}

}  // namespace velkor::gateway
