// The gateway's link against packets a test sends itself: who gets answered (admission and the
// address pin), what is refused, that an acknowledged event survives a crash, duplicates are
// stored once, and how the process starts and stops.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <fstream>

#include "ServiceSupport.h"

namespace velkor::test {
namespace {

class KnownOnlyTest : public GatewayTest {
 protected:
  void SetUp() override { Start({"--admit", "known"}); }
};

TEST_F(KnownOnlyTest, OnlyAdmittedDevicesFromTheirPinnedAddressAreAnswered) {
  const sim::Bytes config = sim::ConfigPacket(current_, sim::code::kConfiguration);
  EXPECT_FALSE(currentSocket_->Exchange(config, 500ms));
  const std::string path = "/api/v1/devices/" + SerialOf(current_);
  const HttpReply pending = gw().Get(path);
  ASSERT_EQ(pending.status, 200) << pending.body;
  EXPECT_EQ(pending.json["state"], "pending");
  EXPECT_EQ(pending.json["address"], "127.0.0.1");
  EXPECT_FALSE(pending.json["first_packet"].get<std::string>().empty());

  const HttpReply admitted = gw().Post(path + "/admit", "");
  ASSERT_EQ(admitted.status, 200) << admitted.body;
  EXPECT_EQ(admitted.json["pinned_address"], "127.0.0.1");
  const sim::Bytes poll = sim::PollPacket(current_);
  EXPECT_EQ(Checked(poll, currentSocket_->Exchange(poll)).kind, sim::ReplyKind::kClock);

  // The same serial from another address: no reply, the queued command stays, a conflict.
  ASSERT_EQ(gw().Post(path + "/commands", R"({"command": "read"})").status, 202);
  DeviceSocket elsewhere(gw().udpPort(), "127.0.0.2");
  const sim::Bytes stolen = sim::PollPacket(current_);
  EXPECT_FALSE(elsewhere.Exchange(stolen, 500ms));
  const HttpReply conflicted = gw().Get(path);
  EXPECT_EQ(conflicted.json["conflicts"], 1);
  EXPECT_EQ(conflicted.json["conflict_address"], "127.0.0.2");
  EXPECT_EQ(conflicted.json["queued_commands"], 1);
  // The pinned address still gets it.
  const sim::Bytes mine = sim::PollPacket(current_);
  EXPECT_EQ(Checked(mine, currentSocket_->Exchange(mine)).kind, sim::ReplyKind::kReadCommand);
  // A refused packet moved nothing: admitting again keeps the pin. It moves only to an address
  // the admission names, and only to one the device was seen at.
  EXPECT_FALSE(elsewhere.Exchange(sim::PollPacket(current_), 300ms));
  EXPECT_EQ(gw().Post(path + "/admit", "").json["pinned_address"], "127.0.0.1");
  EXPECT_EQ(gw().Post(path + "/admit", R"({"address": "127.0.0.9"})").status, 400);
  EXPECT_EQ(gw().Post(path + "/admit", R"({"address": "127.0.0.2"})").json["pinned_address"],
            "127.0.0.2");
  const sim::Bytes moved = sim::PollPacket(current_);
  EXPECT_TRUE(Checked(moved, elsewhere.Exchange(moved)).kind == sim::ReplyKind::kEcho);
}

TEST_F(GatewayTest, GarbageFloodIsRefusedAndTheLinkGoesOn) {
  Announce();
  sim::Rng rng(99);
  DeviceSocket flood(gw().udpPort());
  for (int i = 0; i < 3000; ++i) {
    std::vector<std::uint8_t> junk(rng.Below(200));
    for (auto& b : junk) {
      b = rng.Byte();
    }
    flood.SendRaw(junk);
    if (i % 200 == 0) {
      std::this_thread::sleep_for(2ms);  // stay within the socket buffers
    }
  }
  // Longer than any datagram taken: refused whole, not cut to a valid head.
  sim::Bytes huge = sim::PollPacket(current_);
  sim::SealDevicePacket(huge);
  huge.resize(5000, 0);
  flood.SendRaw(huge);
  std::this_thread::sleep_for(300ms);
  const sim::Bytes poll = sim::PollPacket(current_);
  EXPECT_EQ(Checked(poll, currentSocket_->Exchange(poll)).kind, sim::ReplyKind::kEcho);
  EXPECT_FALSE(flood.Receive(100ms)) << "garbage was answered";
  const HttpReply link = gw().Get("/api/v1/link");
  EXPECT_GE(link.json["refused"].get<int>(), 2900) << link.body;  // a few may be lost in buffers
  EXPECT_EQ(link.json["oversized"], 1);
  EXPECT_EQ(link.json["refused_by_address"]["127.0.0.1"], link.json["refused"]);
}

TEST_F(GatewayTest, AReportSentAgainIsAnsweredButStoredOnce) {
  Announce();
  sim::Rng rng(5);
  const sim::Bytes report =
      sim::EventPacket(legacy_, {sim::MakeEvent(rng, true, 1), sim::MakeEvent(rng, true, 2)});
  sim::Bytes sealed = report;
  sim::SealDevicePacket(sealed);
  legacySocket_->SendRaw(sealed);
  legacySocket_->SendRaw(sealed);
  Checked(report, legacySocket_->Receive(3s));
  Checked(report, legacySocket_->Receive(3s));
  EXPECT_EQ(gw().Get("/api/v1/events").json["events"].size(), 2u);
  EXPECT_EQ(gw().Get("/api/v1/link").json["duplicates"], 1);
  // A report whose count byte promises more records than it holds is refused.
  sim::Bytes cut = sim::EventPacket(legacy_, {sim::MakeEvent(rng, true, 3)});
  cut.resize(cut.size() - 1);
  EXPECT_FALSE(legacySocket_->Exchange(cut, 500ms));
}

// An event whose report was acknowledged is on disk: a crash right after the reply keeps it.
TEST_F(GatewayTest, AcknowledgedEventsSurviveACrash) {
  Announce();
  sim::Rng rng(11);
  sim::Bytes last;
  for (int i = 0; i < 20; ++i) {
    last = sim::EventPacket(current_, {sim::MakeEvent(rng, false, static_cast<std::uint64_t>(i))});
    Checked(last, currentSocket_->Exchange(last));
  }
  gateway_->Kill();
  gateway_ =
      std::make_unique<GatewayProcess>(dir_.path(), std::vector<std::string>{"--admit", "any"});
  ASSERT_TRUE(gw().started()) << gw().output();
  EXPECT_EQ(gw().Get("/api/v1/events?limit=1000").json["events"].size(), 20u);
  // The last report again, byte for byte, as a device whose reply was lost sends it: answered,
  // and still stored once, since the duplicate check is kept in the store.
  DeviceSocket again(gw().udpPort());
  Checked(last, again.Exchange(last));
  EXPECT_EQ(gw().Get("/api/v1/events?limit=1000").json["events"].size(), 20u);
  // The registry was written with the device's first packet.
  EXPECT_EQ(gw().Get("/api/v1/devices/" + SerialOf(current_)).status, 200);
}

TEST_F(GatewayTest, SigtermStopsCleanlyAndTheStoreIsWhole) {
  Announce();
  const std::string output = gw().output();
  EXPECT_NE(output.find("udp 127.0.0.1:"), std::string::npos);
  EXPECT_EQ(gw().Stop(), 0) << gw().output();
  EXPECT_NE(gw().output().find("packets accepted 2"), std::string::npos) << gw().output();

  EXPECT_EQ(IntegrityCheck(dir_.path() / "velkor.db"), "ok");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_.path() / "velkor.db").c_str(), &db), SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  sqlite3_prepare_v2(db, "SELECT accepted FROM devices ORDER BY serial", -1, &check, nullptr);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(check, 0), 1);  // the counters were flushed at the stop
  sqlite3_finalize(check);
  sqlite3_close(db);
}

TEST(GatewayStart, ASigtermRightAfterTheAddressLinesStopsIt) {
  // A supervisor may stop the gateway the moment it is up: every start must heed it.
  ScratchDir dir;
  for (int start = 0; start < 30; ++start) {
    GatewayProcess gateway(dir.path());
    ASSERT_TRUE(gateway.started()) << gateway.output();
    ASSERT_EQ(gateway.Stop(), 0) << "start " << start << " ignored SIGTERM\n" << gateway.output();
  }
}

TEST(GatewayStart, PortInUseOrAnUnusableStoreStopsAtOnce) {
  ScratchDir dir;
  GatewayProcess first(dir.path(), {"--admit", "any"});
  ASSERT_TRUE(first.started()) << first.output();

  ScratchDir other;
  const std::filesystem::path log = other.path() / "second.log";
  const std::string db = (other.path() / "velkor.db").string();
  const std::string udp = "127.0.0.1:" + std::to_string(first.udpPort());
  const std::string http = "127.0.0.1:" + std::to_string(first.httpPort());

  struct Case {
    const char* what;
    std::vector<std::string> args;
    const char* message;
  };
  std::ofstream(other.path() / "junk.db") << "this is not a database, just text";
  const std::string shared = (other.path() / "shared.token").string();
  std::ofstream(shared) << "a-token\n";
  chmod(shared.c_str(), 0644);
  const std::vector<Case> cases = {
      {"UDP port in use",
       {"--listen", udp, "--http", "127.0.0.1:0", "--db", db},
       "cannot listen on UDP"},
      {"HTTP port in use",
       {"--listen", "127.0.0.1:0", "--http", http, "--db", db},
       "cannot listen on HTTP"},
      {"store in a folder that is a file",
       {"--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", "--db", "/dev/null/velkor.db"},
       "cannot use the store"},
      {"store not a database",
       {"--listen", "127.0.0.1:0", "--http", "127.0.0.1:0", "--db",
        (other.path() / "junk.db").string()},
       "cannot use the store"},
      {"bad listen address", {"--listen", "localhost:1", "--db", db}, "--listen"},
      {"plain HTTP off loopback",
       {"--listen", "127.0.0.1:0", "--http", "0.0.0.0:0", "--db", db},
       "give --insecure-http"},
      {"a token file others can read (then the HTTP port in use)",
       {"--listen", "127.0.0.1:0", "--http", http, "--db", db, "--token-file", shared},
       "can be read by others"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RunTool("velkor-gateway", c.args, log, 10s), 1) << c.what;
    std::ifstream file(log);
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    EXPECT_NE(text.find(c.message), std::string::npos) << c.what << ": " << text;
  }
  EXPECT_EQ(RunTool("velkor-gateway", {"--help"}, log, 10s), 0);
}

TEST(GatewayStart, AGeneratedTokenIsKeptBesideTheStoreForItsOwnerOnly) {
  ScratchDir dir;
  const std::filesystem::path log = dir.path() / "run.log";
  {
    GatewayProcess first(dir.path(), {"--admit", "any"});  // (has --token)
  }
  // Without --token: generated once, mode 0600, printed path, the same on the next start.
  std::vector<std::string> args = {"--listen", "127.0.0.1:0",
                                   "--http",   "127.0.0.1:0",
                                   "--db",     (dir.path() / "velkor.db").string()};
  const pid_t pid = StartTool("velkor-gateway", args, log);
  const std::filesystem::path token = dir.path() / "velkor-gateway.token";
  for (int i = 0; i < 200 && !std::filesystem::exists(token); ++i) {
    std::this_thread::sleep_for(20ms);
  }
  std::this_thread::sleep_for(200ms);
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(std::filesystem::exists(token));
  struct stat info {};
  stat(token.c_str(), &info);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  std::ifstream file(log);
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("velkor-gateway.token"), std::string::npos) << text;
  std::string secret;
  std::ifstream(token) >> secret;
  EXPECT_EQ(secret.size(), 64u);
  EXPECT_EQ(text.find(secret), std::string::npos) << "the token itself was printed";
}

// A device never seen before announces itself: the clock setting answers it once it is admitted.
sim::ReplyKind Announce(DeviceSocket& socket, const sim::DeviceState& device) {
  const sim::Bytes hello = sim::ConfigPacket(device, sim::code::kConfiguration);
  return Checked(hello, socket.Exchange(hello)).kind;
}

// Writes `text` to `path`, mode 0600.
void WriteSecret(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::trunc) << text;
  chmod(path.c_str(), 0600);
}

TEST(GatewayStart, AConfigurationFileSetsOptionsAndNamesTheKeyItRefuses) {
  ScratchDir dir;
  const std::filesystem::path conf = dir.path() / "gateway.conf";
  // The file's store is unusable and the command line's is not: the command line wins. The
  // file's admit = "any" answers a device never admitted.
  std::ofstream(conf) << "# a comment\nadmit = \"any\"\ndb = \"/dev/null/velkor.db\"\n"
                         "clock-every = 0\n";
  {
    GatewayProcess gateway(dir.path(), {"--config", conf.string()});
    ASSERT_TRUE(gateway.started()) << gateway.output();
    DeviceSocket socket(gateway.udpPort());
    sim::Rng rng(5);
    EXPECT_EQ(Announce(socket, sim::MakeDevice(rng, 0)), sim::ReplyKind::kClock);
    EXPECT_EQ(gateway.Stop(), 0);
  }
  struct Case {
    const char* file;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"tokn = \"x\"\n", "gateway.conf: unknown key or line: tokn"},
      {"[gateway]\nlisten = \"127.0.0.1:0\"\n", "gateway.conf: unknown key or line: [gateway]"},
      {"clock-every = \"often\"\n", "gateway.conf: key clock-every:"},
      {"admit = \"all\"\n", "gateway.conf: key admit:"},
      {"echo-only = true\n", "gateway.conf: key echo-only: not allowed"},
  };
  const std::filesystem::path log = dir.path() / "refused.log";
  for (const Case& c : cases) {
    std::ofstream(conf, std::ios::trunc) << c.file;
    EXPECT_NE(RunTool("velkor-gateway", {"--config", conf.string()}, log, 10s), 0) << c.file;
    EXPECT_NE(Text(log).find(c.message), std::string::npos) << c.file << Text(log);
  }
  EXPECT_NE(RunTool("velkor-gateway", {"--config", (dir.path() / "none.conf").string()}, log, 10s),
            0);
  EXPECT_NE(Text(log).find("cannot read the configuration file"), std::string::npos) << Text(log);
}

TEST(GatewayStart, SighupRereadsTheTokenFileAndTheLinkGoesOn) {
  ScratchDir dir;
  const std::filesystem::path tokenFile = dir.path() / "token";
  WriteSecret(tokenFile, std::string(GatewayProcess::kToken) + "\n");
  GatewayProcess gateway(dir.path(), {"--admit", "any", "--token-file", tokenFile.string()});
  ASSERT_TRUE(gateway.started()) << gateway.output();
  DeviceSocket socket(gateway.udpPort());
  sim::Rng rng(6);
  const sim::DeviceState device = sim::MakeDevice(rng, 0);
  ASSERT_EQ(Announce(socket, device), sim::ReplyKind::kClock);

  httplib::Client client("127.0.0.1", gateway.httpPort());
  const auto statusWith = [&](const std::string& token) {
    const auto reply = client.Get("/api/v1/devices", {{"Authorization", "Bearer " + token}});
    return reply ? reply->status : 0;
  };
  WriteSecret(tokenFile, "second-token\n");
  kill(gateway.pid(), SIGHUP);
  for (int i = 0; i < 100 && statusWith("second-token") != 200; ++i) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(statusWith("second-token"), 200);
  EXPECT_EQ(gateway.Get("/api/v1/devices").status, 401) << "the old token still works";
  // An unusable file keeps the token in use.
  WriteSecret(tokenFile, "");
  kill(gateway.pid(), SIGHUP);
  for (int i = 0; i < 100 && gateway.output().find("is kept") == std::string::npos; ++i) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(statusWith("second-token"), 200) << gateway.output();
  const sim::Bytes poll = sim::PollPacket(device);
  EXPECT_TRUE(socket.Exchange(poll).has_value()) << "the link stopped answering";
  EXPECT_EQ(gateway.Stop(), 0);
}

}  // namespace
}  // namespace velkor::test
