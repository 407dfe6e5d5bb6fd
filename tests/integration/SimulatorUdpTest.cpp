// The simulator over real UDP sockets on the loopback, against the in-process library host
// behind a socket of its own: the address the devices send from, resends after a dropped
// datagram, and a host that goes away in the middle of a run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "LibraryHost.h"
#include "Simulator.h"

namespace velkor::test {
namespace {

// The library host on 127.0.0.1, served by a thread. After `closeAfter` replies it closes its
// socket (the port reports closed); after `muteAfter` replies it stays open and says nothing.
class UdpHost {
 public:
  explicit UdpHost(HostSide& side, unsigned closeAfter = ~0u, unsigned muteAfter = ~0u)
      : link_(side), closeAfter_(closeAfter), muteAfter_(muteAfter) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      ADD_FAILURE() << "cannot open the host's socket";
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~UdpHost() {
    running_ = false;
    if (thread_.joinable()) {
      thread_.join();
    }
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  UdpHost(const UdpHost&) = delete;
  UdpHost& operator=(const UdpHost&) = delete;

  std::uint16_t Port() const { return port_; }
  std::set<std::string> Sources() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sources_;
  }

 private:
  void Serve() {
    std::uint8_t buffer[2048];
    unsigned replies = 0;
    while (running_) {
      pollfd waiting{fd_, POLLIN, 0};
      if (poll(&waiting, 1, 20) <= 0) {
        continue;
      }
      sockaddr_in from{};
      socklen_t size = sizeof from;
      const ssize_t got =
          recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
      if (got < 0) {
        continue;
      }
      char text[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        sources_.insert(text);
      }
      link_.Send(sim::Bytes(buffer, buffer + got));
      sim::Bytes reply;
      while (link_.Await(0, reply) == sim::Receive::kReply) {
        if (replies >= muteAfter_) {
          continue;
        }
        sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
        if (++replies >= closeAfter_) {
          close(fd_);
          fd_ = -1;
          return;
        }
      }
    }
  }

  LibraryHost link_;
  unsigned closeAfter_;
  unsigned muteAfter_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> running_{true};
  std::thread thread_;
  std::mutex mutex_;
  std::set<std::string> sources_;
};

sim::Stats RunOverUdp(UdpHost& host, const sim::Options& options) {
  std::FILE* log = std::tmpfile();
  sim::Simulator simulator(
      options, [&](std::size_t) { return sim::ConnectUdp("127.0.0.1", host.Port(), options.bind); },
      log);
  const sim::Stats stats = simulator.Run();
  std::fclose(log);
  return stats;
}

sim::Options Quiet(unsigned devices, unsigned rounds) {
  sim::Options options;
  options.devices = devices;
  options.rounds = rounds;
  options.quiet = true;
  options.timeoutMs = 2000;
  return options;
}

TEST(SimulatorUdp, DevicesSendFromTheBoundAddress) {
  HostSide side;
  UdpHost host(side);
  sim::Options options = Quiet(3, 1);
  options.bind = "127.0.0.2";
  const sim::Stats stats = RunOverUdp(host, options);
  EXPECT_TRUE(stats.Passed());
  EXPECT_EQ(host.Sources(), std::set<std::string>{"127.0.0.2"});
}

TEST(SimulatorUdp, AnAddressThatIsNotIpv4IsRefused) {
  EXPECT_THROW(sim::ConnectUdp("127.0.0.1", 9, "::1"), std::runtime_error);
  EXPECT_THROW(sim::ConnectUdp("localhost", 9), std::runtime_error);
}

TEST(SimulatorUdp, ADroppedDatagramIsSentAgainAfterTheTimeout) {
  HostSide side;
  side.dropFirstCopy = true;
  UdpHost host(side);
  sim::Options options = Quiet(2, 1);
  options.timeoutMs = 50;
  options.retries = 1;
  options.sockets = 1;
  const sim::Stats stats = RunOverUdp(host, options);
  EXPECT_TRUE(stats.Passed());
  EXPECT_EQ(stats.missing, 0u);
  EXPECT_EQ(stats.verified, stats.Sent());
  EXPECT_EQ(stats.retries, stats.Sent());
}

// A host whose port closes mid-run, and one that falls silent: the run ends early, and in
// bounded time, instead of timing out packet after packet.
TEST(SimulatorUdp, AHostThatStopsAnsweringEndsTheRun) {
  for (bool closes : {true, false}) {
    SCOPED_TRACE(closes ? "port closed" : "silent");
    HostSide side;
    UdpHost host(side, closes ? 15 : ~0u, closes ? ~0u : 15);
    sim::Options options = Quiet(4, 50);
    options.timeoutMs = 200;
    const auto start = std::chrono::steady_clock::now();
    const sim::Stats stats = RunOverUdp(host, options);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(stats.ending, sim::Ending::kStopped);
    EXPECT_FALSE(stats.Passed());
    EXPECT_EQ(stats.verified, 15u);
    EXPECT_LT(took, std::chrono::seconds(closes ? 2 : 5));
  }
}

}  // namespace
}  // namespace velkor::test
