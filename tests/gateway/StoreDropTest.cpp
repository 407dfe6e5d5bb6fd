// A gateway on PostgreSQL through a proxy that drops its store connection after one chosen
// protocol message, each message of a link batch in turn and each step of the sync thread's
// LISTEN: a device that sends its report again until it is answered finds every acknowledged
// event stored once, and no command reaches it twice.
#include <algorithm>
#include <ctime>
#include <map>
#include <set>

#include "FaultProxy.h"
#include "ScratchPostgres.h"
#include "ServiceSupport.h"

namespace velkor::test {
namespace {

class StoreDropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(pg_.url().empty()) << Text(dir_.path() / "postgres.log");
    gateway_ = std::make_unique<GatewayProcess>(
        dir_.path(),
        std::vector<std::string>{"--db", WithPort(pg_.url(), proxy_.port()), "--admit", "any"});
    ASSERT_TRUE(gateway_->started()) << gateway_->output();
    sim::Rng rng(31);
    device_ = sim::MakeDevice(rng, 0);
    socket_ = std::make_unique<DeviceSocket>(gateway_->udpPort());
    const sim::Bytes hello = sim::ConfigPacket(device_, sim::code::kConfiguration);
    ASSERT_EQ(Checked(hello, socket_->Exchange(hello)).kind, sim::ReplyKind::kClock);
  }

  // A control command with `first` as its mark.
  void Queue(int first) {
    const std::string body =
        R"({"command": "control", "code": 2, "first": )" + std::to_string(first) + "}";
    ASSERT_EQ(gateway_->Post("/api/v1/devices/" + SerialOf(device_) + "/commands", body).status,
              202);
    delivered_[first];
  }

  // The device with a security block tail of its own for the next packet: a late reply to a
  // copy of an earlier packet, which the gateway answers as well, carries the earlier tail back
  // and is not taken for this packet's.
  const sim::DeviceState& Next() {
    ++sequence_;
    for (std::size_t i = 0; i < device_.blockTail.size(); ++i) {
      device_.blockTail[i] = static_cast<std::uint8_t>(sequence_ >> (8 * (i % 4)));
    }
    return device_;
  }

  // Sends `packet` until it is answered, as a device does (8 s at most), passing over replies
  // to earlier packets; counts the commands that reach the device.
  std::optional<sim::Bytes> Answered(const sim::Bytes& packet) {
    std::optional<sim::Bytes> reply;
    for (int i = 0; i < 40 && !reply; ++i) {
      socket_->Send(packet);
      const auto until = std::chrono::steady_clock::now() + 200ms;
      while (!reply && std::chrono::steady_clock::now() < until) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        std::optional<sim::Bytes> got = socket_->Receive(std::max(left, 1ms));
        if (!got) {
          break;
        }
        if (sim::CheckReply(packet, *got, {nullptr, std::time(nullptr)}).ok) {
          reply = std::move(got);
        }
      }
    }
    if (reply) {
      const sim::Reply seen = Checked(packet, reply);
      if (seen.kind == sim::ReplyKind::kControl) {
        ++delivered_[seen.control.arguments[0]];
      }
    }
    return reply;
  }

  ScratchDir dir_;
  ScratchPostgres pg_{dir_.path()};
  FaultProxy proxy_{PortOf(pg_.url())};
  std::unique_ptr<GatewayProcess> gateway_;
  sim::DeviceState device_;
  std::unique_ptr<DeviceSocket> socket_;
  std::map<int, int> delivered_;  // by command mark, for every command queued
  std::uint32_t sequence_ = 0;
};

TEST_F(StoreDropTest, ABatchCutAtAnyMessageLeavesEveryAcknowledgedEventStoredOnce) {
  sim::Rng rng(37);
  int reports = 0;
  bool covered = false;
  for (int n = 1, redo = 0; n < 200 && !covered; ++n) {
    Queue(reports + 1);  // marks 1 to 255 at most: fewer steps than that
    // The report takes the command: one batch with its lock, report digest, claim, COPY,
    // notices and commit.
    proxy_.Arm("BEGIN", n, "pg_try_advisory_xact_lock(478101)");
    const sim::Bytes report = sim::EventPacket(
        Next(), {sim::MakeEvent(rng, false, 2 * static_cast<std::uint64_t>(n)),
                 sim::MakeEvent(rng, false, 2 * static_cast<std::uint64_t>(n) + 1)});
    ASSERT_TRUE(Answered(report)) << "step " << n << ": " << proxy_.Trace();
    ++reports;
    // The batch finished before message n, or the drop caught the once-a-second registry write
    // instead of the batch (past the BEGIN, where they differ): that step again.
    const bool batch = proxy_.MarkerSeen() || (proxy_.Fired() && n <= 3);
    covered = !proxy_.Fired() && batch;
    proxy_.Disarm();
    if (!batch && redo++ < 5) {
      --n;
    }
    // A command the batch took and lost goes to the next packet.
    Answered(sim::PollPacket(Next()));
  }
  EXPECT_TRUE(covered);

  const Json events = AllEvents(*gateway_);
  std::set<std::string> distinct;
  for (const Json& event : events) {
    distinct.insert(event["raw"].get<std::string>());
  }
  EXPECT_EQ(events.size(), 2u * static_cast<std::size_t>(reports)) << "lost or doubled events";
  EXPECT_EQ(distinct.size(), events.size()) << "an event stored twice";
  for (const auto& [mark, count] : delivered_) {
    EXPECT_EQ(count, 1) << "command " << mark;
  }
  EXPECT_EQ(gateway_->Stop(), 0);
}

TEST_F(StoreDropTest, TheSyncConnectionCutWhileItListensLosesNoCommand) {
  // Each step drops the sync thread's connection, then its next one after message n from its
  // first LISTEN: the LISTENs, then the reload of everything that follows a new connection.
  constexpr int kSteps = 14;
  for (int n = 1; n <= kSteps; ++n) {
    proxy_.Arm("LISTEN", n);
    int dropped = 0;
    for (int i = 0; i < 100 && dropped == 0; ++i) {
      dropped = proxy_.DropWhere("LISTEN");  // once the last step's reconnection is there
      std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(dropped, 1) << "step " << n;
    Queue(n);
    for (int i = 0; i < 30 && delivered_[n] == 0; ++i) {
      Answered(sim::PollPacket(Next()));
      std::this_thread::sleep_for(50ms);
    }
    for (int i = 0; i < 40 && !proxy_.Fired(); ++i) {
      std::this_thread::sleep_for(50ms);
    }
    proxy_.Disarm();
  }
  for (int i = 0; i < 3; ++i) {
    Answered(sim::PollPacket(Next()));
  }
  for (int n = 1; n <= kSteps; ++n) {
    EXPECT_EQ(delivered_[n], 1) << "command " << n;
  }
  EXPECT_EQ(gateway_->Stop(), 0);
}

}  // namespace
}  // namespace velkor::test
