// Shared pieces of the gateway's process tests: a started gateway with one simulated device of
// each generation already known to it, and the device-side check of a reply.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <thread>

#include "DeviceCodec.h"
#include "GatewayProcess.h"
#include "Rng.h"
#include "Simulator.h"

namespace velkor::test {

using namespace std::chrono_literals;

inline std::string SerialOf(const sim::DeviceState& device) {
  char text[16];
  std::snprintf(text, sizeof text, "%014llX", static_cast<unsigned long long>(device.serial));
  return text;
}

// What the device makes of a reply to `request`; fails the test when the reply does not pass.
inline sim::Reply Checked(const sim::Bytes& request, const std::optional<sim::Bytes>& reply) {
  EXPECT_TRUE(reply) << "no reply";
  if (!reply) {
    return {};
  }
  const sim::ReplyCheck check = sim::CheckReply(request, *reply, {nullptr, std::time(nullptr)});
  EXPECT_TRUE(check.ok) << check.problem;
  return check.reply;
}

inline std::string Text(const std::filesystem::path& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

inline Json ReadJson(const std::filesystem::path& path) {
  std::ifstream file(path);
  return Json::parse(file, nullptr, false);
}

using EventKey = std::pair<std::string, std::string>;  // device serial, raw bytes

// A simulator report's events by device and raw bytes; `verifiedOnly` keeps those whose report
// was acknowledged.
inline std::map<EventKey, int> Reported(const Json& report, bool verifiedOnly) {
  std::map<EventKey, int> reported;
  for (const Json& device : report["devices"]) {
    for (const Json& event : device["events"]) {
      if (!verifiedOnly || event["verified"].get<bool>()) {
        ++reported[{device["serial"].get<std::string>(), event["raw"].get<std::string>()}];
      }
    }
  }
  return reported;
}

// Stored events (as the API lists them) by device and raw bytes.
inline std::map<EventKey, int> Counted(const Json& events) {
  std::map<EventKey, int> counted;
  for (const Json& event : events) {
    ++counted[{event["device"].get<std::string>(), event["raw"].get<std::string>()}];
  }
  return counted;
}

class GatewayTest : public ::testing::Test {
 protected:
  // A gateway that admits every device, and a current (index 0) and a legacy (index 1)
  // device that have announced themselves; their first reply (the clock) is taken.
  void SetUp() override { Start({"--admit", "any"}); }

  void Start(std::vector<std::string> options) {
    gateway_ = std::make_unique<GatewayProcess>(dir_.path(), std::move(options));
    ASSERT_TRUE(gateway_->started()) << gateway_->output();
    sim::Rng rng(7);
    current_ = sim::MakeDevice(rng, 0);
    legacy_ = sim::MakeDevice(rng, 1);
    currentSocket_ = std::make_unique<DeviceSocket>(gateway_->udpPort());
    legacySocket_ = std::make_unique<DeviceSocket>(gateway_->udpPort());
  }

  void Announce() {
    for (auto [device, socket] :
         {std::pair{&current_, currentSocket_.get()}, std::pair{&legacy_, legacySocket_.get()}}) {
      const sim::Bytes config = sim::ConfigPacket(*device, sim::code::kConfiguration);
      EXPECT_EQ(Checked(config, socket->Exchange(config)).kind, sim::ReplyKind::kClock);
    }
  }

  GatewayProcess& gw() { return *gateway_; }

  ScratchDir dir_;
  std::unique_ptr<GatewayProcess> gateway_;
  sim::DeviceState current_, legacy_;
  std::unique_ptr<DeviceSocket> currentSocket_, legacySocket_;
};

}  // namespace velkor::test
