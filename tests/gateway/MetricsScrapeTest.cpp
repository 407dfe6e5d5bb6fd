// GET /metrics of a running gateway, scraped as Prometheus does: before and after simulator
// runs whose faults are refused and whose events are stored, the counters agree with the
// link's own counts and the stored events, and every scrape passes `promtool check metrics`.
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "ServiceSupport.h"

namespace velkor::test {
namespace {

// Debian's prometheus package ships it; the test needs no Prometheus server.
std::filesystem::path Promtool() {
  if (const char* path = std::getenv("PATH")) {
    std::stringstream dirs(path);
    for (std::string dir; std::getline(dirs, dir, ':');) {
      if (!dir.empty() && std::filesystem::exists(std::filesystem::path(dir) / "promtool")) {
        return std::filesystem::path(dir) / "promtool";
      }
    }
  }
  return std::filesystem::exists("/usr/bin/promtool") ? "/usr/bin/promtool" : "";
}

// Each sample line as "name{labels}" -> value.
std::map<std::string, double> Samples(const std::string& text) {
  std::map<std::string, double> samples;
  std::stringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t space = line.rfind(' ');
    if (!line.empty() && line[0] != '#' && space != std::string::npos) {
      samples[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
  }
  return samples;
}

// The sum of the samples whose key starts with `prefix`.
double Sum(const std::map<std::string, double>& samples, const std::string& prefix) {
  double sum = 0;
  for (auto it = samples.lower_bound(prefix);
       it != samples.end() && it->first.rfind(prefix, 0) == 0; ++it) {
    sum += it->second;
  }
  return sum;
}

class MetricsScrapeTest : public ::testing::Test {
 protected:
  // The text of one scrape, checked by promtool.
  std::map<std::string, double> Scrape() {
    const HttpReply reply = gateway_->Get("/metrics");
    EXPECT_EQ(reply.status, 200) << reply.body;
    const auto file = dir_.path() / ("scrape" + std::to_string(++scrapes_) + ".txt");
    const auto out = dir_.path() / "promtool.log";
    std::ofstream(file) << reply.body;
    const std::string command = "'" + promtool_.string() + "' check metrics <'" + file.string() +
                                "' >'" + out.string() + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << Text(out) << "\n" << reply.body;
    return Samples(reply.body);
  }

  void Sim(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--port", std::to_string(gateway_->udpPort()), "--quiet"};
    all.insert(all.end(), args.begin(), args.end());
    const auto log = dir_.path() / "sim.log";
    ASSERT_EQ(RunTool("velkor-sim", all, log, 60s), 0) << Text(log);
  }

  ScratchDir dir_;
  std::filesystem::path promtool_ = Promtool();
  std::unique_ptr<GatewayProcess> gateway_ =
      std::make_unique<GatewayProcess>(dir_.path(), std::vector<std::string>{"--admit", "any"});
  int scrapes_ = 0;
};

TEST_F(MetricsScrapeTest, CountersFollowASimulatorRunAndPassPromtool) {
  ASSERT_FALSE(promtool_.empty())
      << "promtool is missing: it comes with Debian's prometheus package (make deps installs it)";
  ASSERT_TRUE(gateway_->started()) << gateway_->output();
  EXPECT_EQ(gateway_->Get("/metrics", false).status, 401);

  const auto before = Scrape();
  EXPECT_EQ(before.at("velkor_datagrams_received_total"), 0);
  EXPECT_EQ(before.at(R"(velkor_devices{state="active"})"), 0);

  // Three devices made known, a command queued for one, then a run with every fault.
  constexpr int kDevices = 3;
  Sim({"--devices", "3", "--rounds", "2", "--seed", "31"});
  const Json devices = gateway_->Get("/api/v1/devices").json["devices"];
  ASSERT_EQ(devices.size(), std::size_t{kDevices});
  ASSERT_EQ(gateway_
                ->Post("/api/v1/devices/" + devices[0]["serial"].get<std::string>() + "/commands",
                       R"({"command": "read"})")
                .status,
            202);
  Sim({"--devices", "3", "--rounds", "3", "--seed", "31", "--faults", "all"});

  const Json link = gateway_->Get("/api/v1/link").json;
  const auto after = Scrape();
  const auto at = [&](const std::string& key) {
    const auto found = after.find(key);
    EXPECT_NE(found, after.end()) << key;
    return found == after.end() ? -1.0 : found->second;
  };
  const double received = at("velkor_datagrams_received_total");
  const double refused = Sum(after, "velkor_datagrams_refused_total{");
  EXPECT_EQ(received, link["received"].get<double>());
  EXPECT_EQ(at("velkor_datagrams_accepted_total") + refused, received);
  EXPECT_EQ(refused, link["refused"].get<double>() + link["unadmitted"].get<double>() +
                         link["conflicts"].get<double>());
  // Each device's corrupt block, wrong serial and truncated packet.
  EXPECT_GE(at(R"(velkor_datagrams_refused_total{reason="malformed"})"), 2 * kDevices);
  EXPECT_EQ(refused, 3 * kDevices);

  EXPECT_EQ(Sum(after, "velkor_replies_total{"), link["answered"].get<double>());
  EXPECT_GE(at(R"(velkor_replies_total{kind="clock"})"), kDevices);
  EXPECT_EQ(at(R"(velkor_replies_total{kind="command"})"), 1);
  EXPECT_EQ(at(R"(velkor_commands_total{state="queued"})"), 1);
  EXPECT_EQ(at(R"(velkor_commands_total{state="sent"})"), 1);

  const double stored = at("velkor_events_stored_total");
  EXPECT_GT(stored, 0);
  EXPECT_EQ(stored, link["events_stored"].get<double>());
  EXPECT_EQ(stored, static_cast<double>(AllEvents(*gateway_).size()));
  EXPECT_EQ(at("velkor_event_reports_duplicate_total"), link["duplicates"].get<double>());

  EXPECT_EQ(at("velkor_link_batch_datagrams_count"), link["batches"].get<double>());
  EXPECT_EQ(at("velkor_link_batch_datagrams_sum"), received);
  EXPECT_EQ(at("velkor_store_commit_duration_seconds_count"), link["commits"].get<double>());
  EXPECT_EQ(Sum(after, "velkor_store_errors_total{"), 0);

  EXPECT_EQ(at(R"(velkor_devices{state="active"})"), kDevices);
  EXPECT_EQ(at(R"(velkor_devices{state="pending"})"), 0);
  EXPECT_EQ(at("velkor_event_stream_clients"), 0);
  EXPECT_EQ(at("velkor_mqtt_backlog_events"), 0);
  // The scrapes themselves, and the requests above by their routes' templates.
  EXPECT_EQ(at(R"(velkor_http_requests_total{method="GET",route="/metrics",code="200"})"), 1);
  EXPECT_EQ(at(R"(velkor_http_requests_total{method="GET",route="other",code="401"})"), 1);
  EXPECT_EQ(
      at(R"(velkor_http_requests_total{method="POST",route="/api/v1/devices/{serial}/commands",code="202"})"),
      1);
  ASSERT_EQ(gateway_->Stop(), 0);
}

}  // namespace
}  // namespace velkor::test
