#include "GatewayProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "DeviceCodec.h"

namespace velkor::test {
namespace {

using namespace std::chrono_literals;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Starts `command` with standard output and error into `log`; returns the child's pid.
pid_t Spawn(const std::vector<std::string>& command, const std::filesystem::path& log,
            const std::filesystem::path& cwd) {
  const std::vector<std::string> argv = UnderEmulator(command);
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(out, 2);
    if (chdir(cwd.c_str()) != 0) {
      _exit(126);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) {
      args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// Waits for `pid` up to `limit`; the exit status, or -1 after a SIGKILL.
int WaitFor(pid_t pid, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (std::chrono::steady_clock::now() < until) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(20ms);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

HttpReply ToReply(const httplib::Result& result) {
  HttpReply reply;
  if (!result) {
    return reply;
  }
  reply.status = result->status;
  reply.body = result->body;
  reply.json = Json::parse(result->body, nullptr, false);
  if (reply.json.is_discarded()) {
    reply.json = nullptr;
  }
  return reply;
}

}  // namespace

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velkor-gw-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path BinDir() {
  return std::filesystem::canonical("/proc/self/exe").parent_path();
}

std::vector<std::string> UnderEmulator(std::vector<std::string> argv) {
  const char* emulator = std::getenv("VELKOR_EMULATOR");
  std::istringstream words(emulator != nullptr ? emulator : "");
  std::vector<std::string> command(std::istream_iterator<std::string>(words), {});
  command.insert(command.end(), argv.begin(), argv.end());
  return command;
}

GatewayProcess::GatewayProcess(const std::filesystem::path& dir, std::vector<std::string> extra)
    : dir_(dir) {
  std::vector<std::string> argv = {(BinDir() / "velkor-gateway").string(), "--listen",
                                   "127.0.0.1:0", "--http", "127.0.0.1:0"};
  if (std::find(extra.begin(), extra.end(), "--token-file") == extra.end()) {
    argv.insert(argv.end(), {"--token", kToken});
  }
  if (std::find(extra.begin(), extra.end(), "--db") == extra.end()) {
    argv.insert(argv.end(), {"--db", (dir / "velkor.db").string()});
  }
  argv.insert(argv.end(), extra.begin(), extra.end());
  std::filesystem::remove(dir / "gateway.log");  // a restart must not read the last run's ports
  pid_ = Spawn(argv, dir / "gateway.log", dir);
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < until && !started()) {
    std::istringstream lines(output());
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind("udp 127.0.0.1:", 0) == 0) {
        udpPort_ = static_cast<std::uint16_t>(std::stoi(line.substr(14)));
      } else if (line.rfind("http http://127.0.0.1:", 0) == 0) {
        httpPort_ = static_cast<std::uint16_t>(std::stoi(line.substr(22)));
      } else if (line.rfind("http https://127.0.0.1:", 0) == 0) {
        httpPort_ = static_cast<std::uint16_t>(std::stoi(line.substr(23)));
      }
    }
    int status = 0;
    if (!started() && waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(20ms);
  }
  client_ = std::make_unique<httplib::Client>("127.0.0.1", httpPort_);
  client_->set_read_timeout(10, 0);
  client_->set_connection_timeout(5, 0);
}

GatewayProcess::~GatewayProcess() {
  Kill();
}

std::string GatewayProcess::output() const {
  return ReadFile(dir_ / "gateway.log");
}

int GatewayProcess::Stop() {
  if (pid_ <= 0) {
    return -1;
  }
  kill(pid_, SIGTERM);
  const int status = WaitFor(pid_, 10s);
  pid_ = -1;
  return status;
}

void GatewayProcess::Kill() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
}

HttpReply GatewayProcess::Get(const std::string& path, bool auth) {
  httplib::Headers headers;
  if (auth) {
    headers.emplace("Authorization", std::string("Bearer ") + kToken);
  }
  return ToReply(client_->Get(path.c_str(), headers));
}

HttpReply GatewayProcess::Put(const std::string& path, const std::string& body,
                              const std::string& type, bool auth) {
  httplib::Headers headers;
  if (auth) {
    headers.emplace("Authorization", std::string("Bearer ") + kToken);
  }
  return ToReply(client_->Put(path.c_str(), headers, body, type.c_str()));
}

HttpReply GatewayProcess::Post(const std::string& path, const std::string& body, bool auth) {
  httplib::Headers headers;
  if (auth) {
    headers.emplace("Authorization", std::string("Bearer ") + kToken);
  }
  return ToReply(client_->Post(path.c_str(), headers, body, "application/json"));
}

int LoopbackSocket(int type, const char* local, std::uint16_t port) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in self{};
  self.sin_family = AF_INET;
  inet_pton(AF_INET, local, &self.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    if (fd >= 0) {
      close(fd);
    }
    throw std::runtime_error(std::string("cannot connect from ") + local + " to port " +
                             std::to_string(port));
  }
  return fd;
}

DeviceSocket::DeviceSocket(std::uint16_t gatewayPort, const char* local)
    : fd_(LoopbackSocket(SOCK_DGRAM, local, gatewayPort)) {}

DeviceSocket::~DeviceSocket() {
  close(fd_);
}

void DeviceSocket::SendRaw(const std::vector<std::uint8_t>& bytes) {
  (void)send(fd_, bytes.data(), bytes.size(), 0);
}

void DeviceSocket::Send(const sim::Bytes& plain) {
  sim::Bytes sealed = plain;
  sim::SealDevicePacket(sealed);
  SendRaw(sealed);
}

std::optional<sim::Bytes> DeviceSocket::Receive(std::chrono::milliseconds timeout) {
  pollfd ready{fd_, POLLIN, 0};
  if (poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) {
    return std::nullopt;
  }
  sim::Bytes datagram(65536);
  const ssize_t got = recv(fd_, datagram.data(), datagram.size(), 0);
  if (got < 0) {
    return std::nullopt;
  }
  datagram.resize(static_cast<std::size_t>(got));
  return datagram;
}

std::optional<sim::Bytes> DeviceSocket::Exchange(const sim::Bytes& plain,
                                                 std::chrono::milliseconds timeout) {
  Send(plain);
  return Receive(timeout);
}

int RunTool(const std::string& name, const std::vector<std::string>& args,
            const std::filesystem::path& log, std::chrono::seconds limit) {
  return WaitTool(StartTool(name, args, log), limit);
}

pid_t StartTool(const std::string& name, const std::vector<std::string>& args,
                const std::filesystem::path& log) {
  std::vector<std::string> argv = {(BinDir() / name).string()};
  argv.insert(argv.end(), args.begin(), args.end());
  return Spawn(argv, log, std::filesystem::current_path());
}

int WaitTool(pid_t pid, std::chrono::seconds limit) {
  return WaitFor(pid, limit);
}

std::string IntegrityCheck(const std::filesystem::path& path) {
  sqlite3* db = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* check = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK &&
        sqlite3_step(check) == SQLITE_ROW) {
      result = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
    }
    sqlite3_finalize(check);
  }
  sqlite3_close(db);
  return result;
}

Json AllEvents(GatewayProcess& gateway) {
  Json all = Json::array();
  std::int64_t after = 0;
  for (int page = 0; page < 10000; ++page) {
    const HttpReply reply = gateway.Get("/api/v1/events?limit=1000&after=" + std::to_string(after));
    if (reply.status != 200 || reply.json["events"].empty()) {
      break;
    }
    for (const Json& event : reply.json["events"]) {
      all.push_back(event);
    }
    after = reply.json["next"].get<std::int64_t>();
  }
  return all;
}

}  // namespace velkor::test
