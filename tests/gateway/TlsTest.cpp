// The API over HTTPS: certificate authorities and server certificates for 127.0.0.1 made with the
// openssl tool in the scratch folder, the API reached with curl (and openssl s_client), the
// certificate replaced and reread on SIGHUP, and unusable certificates and keys at start.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "ServiceSupport.h"

namespace velkor::test {
namespace {

struct Ran {
  int status = -1;
  std::string output;  // standard output and error
};

// `command` through the shell, killed after 20 s.
Ran Shell(const std::string& command) {
  Ran ran;
  std::FILE* pipe = popen(("timeout 20 sh -c '" + command + "' 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    return ran;
  }
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
    ran.output.append(chunk, n);
  }
  ran.status = pclose(pipe);
  return ran;
}

// NAME.pem and NAME.key in `dir`: a certificate authority, or a server certificate for IP
// 127.0.0.1 that the authority `ca` signed. P-256 keys: quick to make.
void MakeCertificate(const std::filesystem::path& dir, const std::string& name,
                     const std::string& ca = "") {
  const std::string at = dir.string() + "/";
  const std::string key =
      "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + at + name + ".key";
  const Ran made =
      ca.empty()
          ? Shell("openssl req -x509 " + key + " -out " + at + name +
                  ".pem -days 2 -subj /CN=" + name)
          : Shell("printf \"subjectAltName=IP:127.0.0.1\\n\" > " + at + name + ".ext && " +
                  "openssl req -new " + key + " -out " + at + name + ".csr -subj /CN=127.0.0.1 " +
                  "&& openssl x509 -req -in " + at + name + ".csr -CA " + at + ca + ".pem -CAkey " +
                  at + ca + ".key -CAcreateserial -days 2 -extfile " + at + name + ".ext -out " +
                  at + name + ".pem");
  ASSERT_EQ(made.status, 0) << made.output;
  chmod((at + name + ".key").c_str(), 0600);
}

// Puts the pair NAME.pem, NAME.key where the gateway reads its own.
void Install(const std::filesystem::path& dir, const std::string& name) {
  const auto overwrite = std::filesystem::copy_options::overwrite_existing;
  std::filesystem::copy_file(dir / (name + ".pem"), dir / "cert.pem", overwrite);
  std::filesystem::copy_file(dir / (name + ".key"), dir / "key.pem", overwrite);
  chmod((dir / "key.pem").c_str(), 0600);
}

class TlsTest : public GatewayTest {
 protected:
  void SetUp() override {
    for (const char* ca : {"ca1", "ca2"}) {
      ASSERT_NO_FATAL_FAILURE(MakeCertificate(dir_.path(), ca));
    }
    ASSERT_NO_FATAL_FAILURE(MakeCertificate(dir_.path(), "one", "ca1"));
    ASSERT_NO_FATAL_FAILURE(MakeCertificate(dir_.path(), "two", "ca2"));
    Install(dir_.path(), "one");
    Start({"--admit", "any", "--http-header-timeout", "1", "--tls-cert",
           (dir_.path() / "cert.pem").string(), "--tls-key", (dir_.path() / "key.pem").string()});
  }

  // curl's HTTP status for `path` (000: no answer), trusting the authority `ca` (none: only
  // the system's).
  std::string Curl(const std::string& ca, const std::string& options, const std::string& path,
                   const std::string& scheme = "https") {
    const std::string trust = ca.empty() ? "" : " --cacert " + (dir_.path() / ca).string();
    return Shell("curl -s -o /dev/null --max-time 10 -w %{http_code}" + trust + " " + options +
                 " " + scheme + "://127.0.0.1:" + std::to_string(gw().httpPort()) + path)
        .output;
  }

  void Reload() {
    ASSERT_EQ(kill(gw().pid(), SIGHUP), 0);
    ++reloads_;
    // Each SIGHUP ends with the token's line (it was given on the command line).
    const auto done = [&] {
      const std::string text = gw().output();
      std::size_t lines = 0;
      for (std::size_t at = text.find("SIGHUP: the token"); at != std::string::npos;
           at = text.find("SIGHUP: the token", at + 1)) {
        ++lines;
      }
      return lines >= reloads_;
    };
    for (int i = 0; i < 200 && !done(); ++i) {
      std::this_thread::sleep_for(25ms);
    }
    ASSERT_TRUE(done()) << gw().output();
  }

  std::size_t reloads_ = 0;
};

TEST_F(TlsTest, ServesHttpsOnlyAndSighupSwapsTheCertificateForNewConnections) {
  EXPECT_NE(gw().output().find("http https://127.0.0.1:"), std::string::npos) << gw().output();
  Announce();
  const std::string auth =
      "-H \"Authorization: Bearer " + std::string(GatewayProcess::kToken) + "\"";
  struct Row {
    const char* what;
    std::string status;
  };
  for (const Row& row : {
           Row{"healthz", Curl("ca1.pem", "", "/api/v1/healthz")},
           Row{"an authorized GET", Curl("ca1.pem", auth, "/api/v1/devices")},
           Row{"the console", Curl("ca1.pem", "", "/")},
           Row{"TLS 1.2 exactly", Curl("ca1.pem", "--tlsv1.2 --tls-max 1.2", "/api/v1/healthz")},
       }) {
    EXPECT_EQ(row.status, "200") << row.what;
  }
  EXPECT_EQ(Curl("", "", "/api/v1/healthz"), "000") << "a certificate no one vouches for";
  EXPECT_EQ(Curl("", "", "/api/v1/healthz", "http"), "000") << "plain HTTP was answered";
  {
    // A handshake begun and never finished is closed at the header time (1 s here).
    const int fd = LoopbackSocket(SOCK_STREAM, "127.0.0.1", gw().httpPort());
    ASSERT_EQ(send(fd, "\x16\x03\x01", 3, 0), 3);
    pollfd closed{fd, POLLIN, 0};
    char byte = 0;
    const bool gone = poll(&closed, 1, 4000) == 1 && recv(fd, &byte, 1, 0) <= 0;
    close(fd);
    EXPECT_TRUE(gone) << "a stalled handshake held its connection";
  }

  // Below TLS 1.2: refused by the gateway (its alert), when this curl or openssl offers it.
  const std::string port = std::to_string(gw().httpPort());
  std::string old =
      Shell("curl -sS --max-time 10 --tlsv1.1 --tls-max 1.1 -k https://127.0.0.1:" + port +
            "/api/v1/healthz")
          .output;
  if (old.find("alert protocol version") == std::string::npos) {
    old = Shell("openssl s_client -connect 127.0.0.1:" + port +
                " -tls1_1 -cipher DEFAULT@SECLEVEL=0 </dev/null")
              .output;
  }
  if (old.find("no protocols available") != std::string::npos) {
    std::printf("[ NOT RUN  ] TLS 1.1: neither curl nor openssl here offers it\n");
  } else {
    EXPECT_NE(old.find("alert protocol version"), std::string::npos) << old;
  }

  // A connection opened with the first certificate, asked on after the reload.
  std::FILE* held =
      popen(("timeout 20 sh -c '(sleep 3; printf \"GET /api/v1/healthz HTTP/1.1\\r\\nHost: "
             "x\\r\\nConnection: close\\r\\n\\r\\n\") | openssl s_client -quiet -connect "
             "127.0.0.1:" +
             port + " -CAfile " + (dir_.path() / "ca1.pem").string() + "' 2>&1")
                .c_str(),
            "r");
  ASSERT_NE(held, nullptr);
  std::this_thread::sleep_for(500ms);

  Install(dir_.path(), "two");
  ASSERT_NO_FATAL_FAILURE(Reload());
  EXPECT_EQ(Curl("ca2.pem", "", "/api/v1/healthz"), "200") << gw().output();
  EXPECT_EQ(Curl("ca1.pem", "", "/api/v1/healthz"), "000") << "the old certificate is still used";
  std::string answer;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, held)) > 0;) {
    answer.append(chunk, n);
  }
  pclose(held);
  EXPECT_NE(answer.find("HTTP/1.1 200"), std::string::npos) << "the open connection: " << answer;

  // An unusable pair keeps the one in use, with a message naming the file.
  const std::filesystem::path cert = dir_.path() / "cert.pem", key = dir_.path() / "key.pem";
  struct Broken {
    const char* what;
    std::function<void()> breakIt;
    std::string named;
  };
  for (const Broken& row : {
           Broken{"garbage for a certificate",
                  [&] { std::ofstream(cert, std::ios::trunc) << "not a certificate\n"; },
                  cert.string()},
           Broken{"the key of another certificate",
                  [&] {
                    std::filesystem::copy_file(dir_.path() / "one.key", key,
                                               std::filesystem::copy_options::overwrite_existing);
                  },
                  key.string()},
           Broken{"no key", [&] { std::filesystem::remove(key); }, key.string()},
       }) {
    Install(dir_.path(), "two");
    row.breakIt();
    const std::size_t before = gw().output().size();
    ASSERT_NO_FATAL_FAILURE(Reload());
    const std::string said = gw().output().substr(before);
    EXPECT_NE(said.find("the certificate in use is kept"), std::string::npos) << row.what << said;
    EXPECT_NE(said.find(row.named), std::string::npos) << row.what << said;
    EXPECT_EQ(Curl("ca2.pem", "", "/api/v1/healthz"), "200") << row.what;
  }
  const sim::Bytes poll = sim::PollPacket(current_);
  EXPECT_TRUE(currentSocket_->Exchange(poll).has_value()) << "the link stopped answering";
  EXPECT_EQ(gw().Stop(), 0);
}

TEST(TlsStart, AnUnusableCertificateOrKeyStopsItNamingTheFile) {
  ScratchDir dir;
  const std::filesystem::path& at = dir.path();
  ASSERT_NO_FATAL_FAILURE(MakeCertificate(at, "ca"));
  ASSERT_NO_FATAL_FAILURE(MakeCertificate(at, "one", "ca"));
  ASSERT_NO_FATAL_FAILURE(MakeCertificate(at, "two", "ca"));
  std::ofstream(at / "garbage.pem") << "-----BEGIN CERTIFICATE-----\nnot one\n";
  std::filesystem::copy_file(at / "one.key", at / "shared.key");
  chmod((at / "shared.key").c_str(), 0644);
  std::ofstream(at / "gateway.conf") << "tls-cert = \"" << (at / "garbage.pem").string()
                                     << "\"\ntls-key = \"" << (at / "one.key").string() << "\"\n";
  const std::string one = (at / "one.pem").string(), oneKey = (at / "one.key").string();
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"garbage for a certificate",
       {"--tls-cert", (at / "garbage.pem").string(), "--tls-key", oneKey},
       (at / "garbage.pem").string()},
      {"no key file",
       {"--tls-cert", one, "--tls-key", (at / "none.key").string()},
       (at / "none.key").string() + ": No such file"},
      {"the key of another certificate",
       {"--tls-cert", one, "--tls-key", (at / "two.key").string()},
       (at / "two.key").string()},
      {"a key others can read (and garbage for a certificate)",
       {"--tls-cert", (at / "garbage.pem").string(), "--tls-key", (at / "shared.key").string()},
       "can be read by others"},
      {"from the configuration file",
       {"--config", (at / "gateway.conf").string()},
       (at / "garbage.pem").string()},
      // Off loopback, HTTPS needs no --insecure-http: the certificate is what stops it.
      {"off loopback",
       {"--http", "0.0.0.0:0", "--tls-cert", (at / "garbage.pem").string(), "--tls-key", oneKey},
       (at / "garbage.pem").string()},
      {"a certificate without its key", {"--tls-cert", one}, "--tls-cert requires --tls-key"},
  };
  const std::filesystem::path log = at / "gateway.log";
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--db", (at / "v.db").string()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_NE(RunTool("velkor-gateway", args, log, 10s), 0) << c.what;
    const std::string said = Text(log);
    EXPECT_NE(said.find(c.message), std::string::npos) << c.what << ": " << said;
    EXPECT_EQ(said.find("insecure-http"), std::string::npos) << c.what << ": " << said;
    EXPECT_EQ(said.find("http https://"), std::string::npos) << c.what << " started";
  }
}

}  // namespace
}  // namespace velkor::test
