// The link with its store thread, on a real UDP socket: a reply that waits for a write leaves
// only once the commit holding that write has returned, and a reply that waits for nothing
// leaves at once, while that commit is still running.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "BatchFixture.h"

namespace velkor::gateway {
namespace {

using namespace std::chrono_literals;

// The store with every commit made slow: it sleeps before COMMIT, and counts the commits that
// have returned.
class SlowCommits final : public Database {
 public:
  SlowCommits(Database& inner, std::chrono::milliseconds delay) : inner_(inner), delay_(delay) {}
  Engine engine() const override { return inner_.engine(); }
  void Exec(const char* sql) override { inner_.Exec(sql); }
  Statement& Prepare(const char* sql) override { return inner_.Prepare(sql); }
  void Begin() override { inner_.Begin(); }
  void Commit() override {
    std::this_thread::sleep_for(delay_);
    inner_.Commit();
    ++committed;
  }
  void Rollback() override { inner_.Rollback(); }
  void CopyIn(const char* copy, const std::string& rows) override { inner_.CopyIn(copy, rows); }
  void Listen(const char* channel) override { inner_.Listen(channel); }
  std::vector<Notification> Await(std::chrono::milliseconds wait) override {
    return inner_.Await(wait);
  }
  std::uint64_t Connections() const override { return inner_.Connections(); }

  std::atomic<int> committed{0};

 private:
  Database& inner_;
  std::chrono::milliseconds delay_;
};

class UdpDevice {
 public:
  UdpDevice() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~UdpDevice() { close(fd_); }
  void Send(const sim::Bytes& plain, std::uint16_t port) {
    sim::Bytes sealed = plain;
    sim::SealDevicePacket(sealed);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd_, sealed.data(), sealed.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  // The first byte of the next reply (its command code), or -1 when none came in time.
  int Reply(std::chrono::milliseconds wait) {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(wait.count())) <= 0) {
      return -1;
    }
    std::uint8_t reply[kMaxDatagram];
    return recv(fd_, reply, sizeof reply, 0) > 0 ? reply[0] : -1;
  }

 private:
  int fd_;
};

TEST(PipelineTest, RepliesWaitForTheCommitOfTheirWritesAndForNothingElse) {
  const std::string path = ::testing::TempDir() + "/velkor-pipeline.db";
  auto db = FreshStore(path);
  constexpr auto kCommit = 400ms;
  SlowCommits slow(*db, kCommit);
  Hub hub;
  Gateway gateway(hub, slow, PolicyOptions{Admit::kAny, 0});
  Link link("127.0.0.1:0");
  const auto port = static_cast<std::uint16_t>(std::stoi(link.BoundText().substr(10)));
  gateway.StartPipeline([&link](std::span<Datagram> replies) { link.Send(replies); });
  std::atomic<bool> stop{false};
  std::thread serve([&] { link.Serve(gateway, stop); });

  sim::Rng rng(5);
  const sim::DeviceState reporting = sim::MakeDevice(rng, 0);
  const sim::DeviceState polling = sim::MakeDevice(rng, 1);
  UdpDevice a, b;
  // First contact: each device's row written, then the clock.
  a.Send(sim::PollPacket(reporting), port);
  b.Send(sim::PollPacket(polling), port);
  ASSERT_GE(a.Reply(3 * kCommit), 0);
  ASSERT_GE(b.Reply(3 * kCommit), 0);

  const int before = slow.committed.load();
  const auto sent = std::chrono::steady_clock::now();  // before the commit's sleep can start
  a.Send(sim::EventPacket(reporting, {sim::MakeEvent(rng, false, 1)}), port);
  b.Send(sim::PollPacket(polling), port);
  // The other device's echo first, while the report's commit sleeps.
  EXPECT_EQ(b.Reply(kCommit / 2), 0x00) << "the poll waited for a commit it needs nothing of";
  // Then the report's, only after its commit returned, with its event readable by another
  // connection.
  EXPECT_GE(a.Reply(3 * kCommit), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - sent, kCommit);
  EXPECT_GT(slow.committed.load(), before) << "the report was acknowledged before its commit";
  auto reader = Database::Open(path);
  Statement& count = reader->Prepare("SELECT COUNT(*) FROM events");
  count.Bind();
  count.Step();
  EXPECT_EQ(count.Int(0), 1);
  count.Reset();

  stop = true;
  serve.join();
  gateway.Flush();
}

// A burst: one device's poll and then its report in one batch. The poll's reply waits on nothing
// and the report's on its commit, yet they leave in the packets' order even when the link is
// slower to send the batch than the store thread is to commit.
TEST(PipelineTest, ADevicesRepliesInOneBatchKeepItsPacketsOrder) {
  const std::string path = ::testing::TempDir() + "/velkor-pipeline-order.db";
  auto db = FreshStore(path);
  Hub hub;
  Gateway gateway(hub, *db, PolicyOptions{Admit::kAny, 0});
  std::mutex mutex;
  std::vector<int> ports;  // where the replies went, in the order they left
  const auto record = [&](std::span<Datagram> replies) {
    std::lock_guard lock(mutex);
    for (const Datagram& d : replies) {
      if (d.reply > 0) {
        ports.push_back(ntohs(reinterpret_cast<const sockaddr_in&>(d.to).sin_port));
      }
    }
  };
  gateway.StartPipeline(record);

  sim::Rng rng(9);
  const sim::DeviceState device = sim::MakeDevice(rng, 0);
  std::vector<Datagram> hello{From(sim::PollPacket(device))};
  gateway.Handle(hello);
  record(hello);
  const auto answered = [&] {
    std::lock_guard lock(mutex);
    return !std::exchange(ports, {}).empty();
  };
  for (int i = 0; i < 300 && !answered(); ++i) {  // first contact's row committed
    std::this_thread::sleep_for(10ms);
  }

  // Told apart by their source ports: the poll's 40001, the report's 40002.
  std::vector<Datagram> burst{
      From(sim::PollPacket(device), "127.0.0.1", 40001),
      From(sim::EventPacket(device, {sim::MakeEvent(rng, false, 1)}), "127.0.0.1", 40002)};
  gateway.Handle(burst);
  std::this_thread::sleep_for(100ms);  // the store thread commits meanwhile
  record(burst);                       // the link sends what the batch kept
  gateway.Flush();
  std::lock_guard lock(mutex);
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0], 40001) << "the report's reply overtook the poll's";
}

}  // namespace
}  // namespace velkor::gateway
