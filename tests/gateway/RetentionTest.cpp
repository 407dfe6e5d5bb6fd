// --keep-events on a gateway whose store holds events aged by the test: the old ones go, the new
// ones stay, the newest report stays even when every event is old, and the events stored next get
// higher ids than any before them; SIGTERM does not wait for the worker's pause.
#include <algorithm>
#include <fstream>

#include "Database.h"
#include "ServiceSupport.h"

namespace velkor::test {
namespace {

std::vector<std::int64_t> Ids(const Json& events) {
  std::vector<std::int64_t> ids;
  for (const Json& event : events) {
    ids.push_back(event["id"].get<std::int64_t>());
  }
  return ids;
}

// Moves the reports `where` selects three days into the past, in a store no gateway runs on.
void Age(const std::filesystem::path& db, const std::string& where) {
  std::unique_ptr<gateway::Database> store = gateway::Database::Open(db.string());
  store->Exec(
      ("UPDATE event_reports SET received_ms = received_ms - 3 * 86400000 WHERE " + where).c_str());
}

// The first event id of the store's report that holds `id` or follows it: retention deletes
// whole reports.
std::int64_t ReportFrom(const std::filesystem::path& db, std::int64_t id) {
  std::unique_ptr<gateway::Database> store = gateway::Database::Open(db.string());
  gateway::Statement& s = store->Prepare("SELECT MIN(id) FROM event_reports WHERE id + count > ?");
  s.Bind(id);
  s.Step();
  const std::int64_t first = s.Int(0);
  s.Reset();
  return first;
}

template <typename Condition>
bool Eventually(Condition condition) {
  for (int i = 0; i < 200; ++i) {
    if (condition()) {
      return true;
    }
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

TEST(RetentionRunTest, OldEventsGoNewOnesStayTheNewestStaysAndIdsKeepGrowing) {
  ScratchDir dir;
  const auto db = dir.path() / "velkor.db";
  const auto log = dir.path() / "sim.log";
  const auto simulate = [&](GatewayProcess& gateway, const char* seed) {
    return RunTool("velkor-sim",
                   {"--port", std::to_string(gateway.udpPort()), "--quiet", "--devices", "2",
                    "--rounds", "3", "--seed", seed},
                   log, 60s);
  };

  std::vector<std::int64_t> ids;
  {
    GatewayProcess gateway(dir.path(), {"--admit", "any"});
    ASSERT_TRUE(gateway.started()) << gateway.output();
    ASSERT_EQ(simulate(gateway, "51"), 0) << Text(log);
    ids = Ids(AllEvents(gateway));
    ASSERT_EQ(gateway.Stop(), 0);
  }
  ASSERT_GT(ids.size(), 10u);
  const std::int64_t cut = ReportFrom(db, ids[ids.size() / 2]);
  const std::vector<std::int64_t> recent(std::find(ids.begin(), ids.end(), cut), ids.end());
  ASSERT_FALSE(recent.empty());
  Age(db, "id < " + std::to_string(cut));
  {
    // From the configuration file, as the service takes it.
    const auto conf = dir.path() / "retention.conf";
    std::ofstream(conf) << "keep-events = 1\n";
    GatewayProcess gateway(dir.path(), {"--admit", "any", "--config", conf.string()});
    ASSERT_TRUE(gateway.started()) << gateway.output();
    EXPECT_TRUE(Eventually([&] { return Ids(AllEvents(gateway)) == recent; }));
    const auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(gateway.Stop(), 0);  // the worker is in its minute's wait by now
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
    EXPECT_NE(gateway.output().find("retention: " + std::to_string(ids.size() - recent.size()) +
                                    " events received before"),
              std::string::npos)
        << gateway.output();
  }

  Age(db, "1 = 1");
  const std::vector<std::int64_t> newest(
      std::find(ids.begin(), ids.end(), ReportFrom(db, ids.back())), ids.end());
  {
    GatewayProcess gateway(dir.path(), {"--admit", "any", "--keep-events", "1"});
    ASSERT_TRUE(gateway.started()) << gateway.output();
    EXPECT_TRUE(Eventually([&] { return Ids(AllEvents(gateway)) == newest; }))
        << "the newest report stays, whole";
    ASSERT_EQ(simulate(gateway, "52"), 0) << Text(log);
    const std::vector<std::int64_t> now = Ids(AllEvents(gateway));
    ASSERT_GT(now.size(), newest.size());
    EXPECT_EQ(now.front(), newest.front());
    EXPECT_GT(now[newest.size()], ids.back()) << "an id handed out before was given again";
    ASSERT_EQ(gateway.Stop(), 0);
  }
  EXPECT_EQ(IntegrityCheck(db), "ok");
}

}  // namespace
}  // namespace velkor::test
