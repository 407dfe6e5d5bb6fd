// velkor-gateway's API against slow and abusive clients on loopback: headers that trickle in,
// idle connections, many connections from one address, huge headers, bodies announced and not
// sent. Meanwhile another client address (127.0.0.2) must get healthz within a second. The
// gateway runs with a header deadline of 2 s instead of 10, so that the whole takes seconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "ServiceSupport.h"

namespace velkor::test {
namespace {

using Clock = std::chrono::steady_clock;

// A TCP connection to the API from a loopback address of the test's choosing.
class Connection {
 public:
  Connection(std::uint16_t port, const char* from) : fd_(LoopbackSocket(SOCK_STREAM, from, port)) {
    const timeval limit{2, 0};  // no send blocks the test for long
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  }
  ~Connection() { close(fd_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t sent = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent <= 0) {
        return false;
      }
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
  }

  // What arrives until the gateway closes the connection or `limit` passes; closed() says which.
  std::string Read(std::chrono::milliseconds limit) {
    std::string text;
    const auto until = Clock::now() + limit;
    while (!closed_ && Clock::now() < until) {
      pollfd ready{fd_, POLLIN, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      if (poll(&ready, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) <= 0) {
        break;
      }
      char buffer[65536];
      const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) {
        closed_ = true;
      } else {
        text.append(buffer, static_cast<std::size_t>(got));
      }
    }
    return text;
  }
  bool closed() const { return closed_; }

 private:
  int fd_ = -1;
  bool closed_ = false;
};

int StatusOf(const std::string& answer) {
  return answer.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(answer.c_str() + 9) : 0;
}

std::string BodyOf(const std::string& answer) {
  const std::size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "" : answer.substr(end + 4);
}

std::size_t RssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::strtoull(line.c_str() + 6, nullptr, 10);
    }
  }
  return 0;
}

class AbuseTest : public GatewayTest {
 protected:
  void SetUp() override { Start({"--admit", "any", "--http-header-timeout", "2"}); }

  // healthz from another client address: answered 200 within a second.
  void ExpectHealthFromElsewhere(const char* when) {
    const auto start = Clock::now();
    Connection client(gw().httpPort(), "127.0.0.2");
    client.Send("GET /api/v1/healthz HTTP/1.1\r\nHost: gw\r\nConnection: close\r\n\r\n");
    const std::string answer = client.Read(3s);
    EXPECT_EQ(StatusOf(answer), 200) << when;
    EXPECT_LT(Clock::now() - start, 1s) << when;
  }

  std::string Request(const std::string& head, const std::string& body = "") {
    return head + "Host: gw\r\nAuthorization: Bearer test-token\r\nConnection: close\r\n\r\n" +
           body;
  }
};

// Once 16 connections sending a header line every few seconds stopped the API, and so did 8
// of them beside the 8 event streams: a thread was held per connection.
TEST_F(AbuseTest, SlowHeadersAndOpenStreamsLeaveTheApiAnswering) {
  std::vector<std::unique_ptr<Connection>> streams;
  for (std::size_t i = 0; i < 8; ++i) {
    streams.push_back(std::make_unique<Connection>(gw().httpPort(), "127.0.0.3"));
    streams.back()->Send(Request("GET /api/v1/events/stream HTTP/1.1\r\n"));
    ASSERT_EQ(StatusOf(streams.back()->Read(300ms)), 200) << "stream " << i;
  }
  std::vector<std::unique_ptr<Connection>> slow;
  for (int i = 0; i < 16; ++i) {
    slow.push_back(std::make_unique<Connection>(gw().httpPort(), "127.0.0.1"));
    slow.back()->Send("GET /api/v1/devices HTTP/1.1\r\n");
  }
  const auto start = Clock::now();
  for (int tick = 0; tick < 6; ++tick) {
    for (auto& connection : slow) {
      connection->Send("X-Slow: " + std::to_string(tick) + "\r\n");
    }
    if (tick == 2) {
      ExpectHealthFromElsewhere("16 slow headers and 8 streams");
    }
    std::this_thread::sleep_for(500ms);
  }
  // The header's deadline (2 s here) closed every one of them, however steadily it trickled.
  for (auto& connection : slow) {
    connection->Read(1500ms);
    EXPECT_TRUE(connection->closed());
  }
  EXPECT_LT(Clock::now() - start, 5s);
}

TEST_F(AbuseTest, ManyConnectionsFromOneAddressAndIdleOnesAreClosed) {
  std::vector<std::unique_ptr<Connection>> held;
  for (int i = 0; i < 64; ++i) {
    held.push_back(std::make_unique<Connection>(gw().httpPort(), "127.0.0.1"));
  }
  ExpectHealthFromElsewhere("64 idle connections from 127.0.0.1");
  // Past 16 from one address each is closed as soon as it is accepted.
  int refused = 0;
  for (auto& connection : held) {
    connection->Read(20ms);
    refused += connection->closed() ? 1 : 0;
  }
  EXPECT_EQ(refused, 48);

  // A keep-alive connection that goes quiet after an answer is closed after 5 s, as are the
  // held ones that never sent a byte.
  Connection kept(gw().httpPort(), "127.0.0.4");
  kept.Send("GET /api/v1/healthz HTTP/1.1\r\nHost: gw\r\n\r\n");
  EXPECT_EQ(StatusOf(kept.Read(500ms)), 200);
  EXPECT_FALSE(kept.closed());
  const auto quiet = Clock::now();
  kept.Read(8s);
  EXPECT_TRUE(kept.closed());
  EXPECT_GT(Clock::now() - quiet, 4s);
  int open = 0;
  for (auto& connection : held) {
    connection->Read(10ms);
    open += connection->closed() ? 0 : 1;
  }
  EXPECT_EQ(open, 0);
}

// Headers were kept before the token was checked: 300 MiB of them grew the process by 600 MB.
TEST_F(AbuseTest, HugeHeadersAreRefusedBeforeTheyAreKept) {
  const std::string line = "X-Pad: " + std::string(4096, 'a') + "\r\n";
  {
    Connection client(gw().httpPort(), "127.0.0.1");
    client.Send("GET /api/v1/devices HTTP/1.1\r\n" + line + line + line + line + line + "\r\n");
    const std::string answer = client.Read(3s);
    EXPECT_EQ(StatusOf(answer), 431) << answer.substr(0, 200);
    EXPECT_EQ(Json::parse(BodyOf(answer), nullptr, false)["error"],
              "the header is larger than 16 KiB");
  }
  const std::size_t before = RssKiB(gw().pid());
  Connection flood(gw().httpPort(), "127.0.0.1");
  flood.Send("GET /api/v1/devices HTTP/1.1\r\n");
  std::size_t sent = 0;
  while (sent < (64u << 20) && flood.Send(line)) {
    sent += line.size();
  }
  flood.Read(3s);
  EXPECT_TRUE(flood.closed());
  EXPECT_LT(sent, 32u << 20);  // it was cut off long before
  EXPECT_LT(RssKiB(gw().pid()), before + 16 * 1024) << "from " << before << " KiB";
  ExpectHealthFromElsewhere("after the flood");
}

// Bodies up to 1 MiB pass whatever their type (curl's default form type once hit an 8 KiB
// limit); a length past it is refused before the body comes; no body means an empty one, at
// once.
TEST_F(AbuseTest, BodiesAreJudgedByLengthAloneAndAnsweredAtOnce) {
  Announce();
  const std::string device = "/api/v1/devices/" + SerialOf(current_);
  const std::string card = R"({"cardNumber": 7, "password": "", "year": 1, "month": 2,
    "day": 3, "hour": 4, "param": 0, "flag0": false, "flag1": false, "flag2": false,
    "flag3": false, "flag4": false, "flag7": false, "flag6": true})";
  std::string cards = "[" + card + "]";
  cards += std::string(10000 - cards.size(), ' ');
  const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
  const struct {
    const char* what;
    std::string request;
    int status;
    const char* error;  // the message, when one is checked
  } cases[] = {
      {"10,000 bytes of cards as a form",
       Request("PUT " + device + "/cards HTTP/1.1\r\n" + form + "Content-Length: 10000\r\n", cards),
       200, nullptr},
      {"a 30,000-byte voice clip as a form",
       Request("PUT " + device + "/voice/3 HTTP/1.1\r\n" + form + "Content-Length: 30000\r\n",
               std::string(30000, 'v')),
       200, nullptr},
      {"a length past 1 MiB, the body never sent",
       Request("PUT " + device + "/cards HTTP/1.1\r\nContent-Length: 2097152\r\n"), 413,
       "the body is larger than 1 MiB"},
      {"a POST without a body", Request("POST " + device + "/commands HTTP/1.1\r\n"), 400,
       "the body is not JSON"},
      {"a POST of length 0", Request("POST " + device + "/admit HTTP/1.1\r\nContent-Length: 0\r\n"),
       200, nullptr},
  };
  for (const auto& c : cases) {
    const auto start = Clock::now();
    Connection client(gw().httpPort(), "127.0.0.1");
    client.Send(c.request);
    const std::string answer = client.Read(3s);
    EXPECT_EQ(StatusOf(answer), c.status) << c.what << ": " << answer.substr(0, 300);
    EXPECT_LT(Clock::now() - start, 1s) << c.what;
    if (c.error != nullptr) {
      EXPECT_EQ(Json::parse(BodyOf(answer), nullptr, false)["error"], c.error) << c.what;
    }
  }
}

}  // namespace
}  // namespace velkor::test
