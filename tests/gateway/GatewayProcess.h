// velkor-gateway as a process for tests: started in a scratch folder on loopback ports it picks
// itself, its REST API reached over real HTTP, simulated devices' packets sent from UDP sockets
// of the test, and stopped (SIGTERM, or SIGKILL) on every path. A gateway given --tls-cert is
// started the same way; its API is then HTTPS, which the Get/Put/Post client here does not speak.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "DeviceState.h"

namespace httplib {
class Client;
}

namespace velkor::test {

using Json = nlohmann::ordered_json;

// A scratch folder, removed with everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::filesystem::path BinDir();  // where the test binary and velkor-gateway live

// `argv` as a cross build runs it: after the emulator's words in VELKOR_EMULATOR, when set.
std::vector<std::string> UnderEmulator(std::vector<std::string> argv);

struct HttpReply {
  int status = 0;
  std::string body;
  Json json;  // null unless the body is JSON
};

class GatewayProcess {
 public:
  // Starts velkor-gateway in `dir` with --db dir/velkor.db (unless `extra` names a --db), UDP
  // and HTTP on 127.0.0.1 port 0, --token test-token (unless `extra` names a --token-file) and
  // `extra` options; waits (10 s at most)
  // for its address lines.
  GatewayProcess(const std::filesystem::path& dir, std::vector<std::string> extra = {});
  ~GatewayProcess();  // SIGKILL if still running
  GatewayProcess(const GatewayProcess&) = delete;
  GatewayProcess& operator=(const GatewayProcess&) = delete;

  bool started() const { return udpPort_ != 0 && httpPort_ != 0; }
  pid_t pid() const { return pid_; }
  std::uint16_t udpPort() const { return udpPort_; }
  std::uint16_t httpPort() const { return httpPort_; }
  std::string output() const;  // what it printed so far

  // SIGTERM and wait (10 s at most); the exit status, or -1 when it had to be killed.
  int Stop();
  void Kill();  // SIGKILL, as a crash

  HttpReply Get(const std::string& path, bool auth = true);
  HttpReply Put(const std::string& path, const std::string& body,
                const std::string& type = "application/json", bool auth = true);
  HttpReply Post(const std::string& path, const std::string& body, bool auth = true);

  static constexpr const char* kToken = "test-token";

 private:
  std::filesystem::path dir_;
  pid_t pid_ = -1;
  std::uint16_t udpPort_ = 0, httpPort_ = 0;
  std::unique_ptr<httplib::Client> client_;
};

// A device end: a UDP socket of its own (bound to `local`, 127.0.0.1 by default) that sends
// sealed packets to the gateway and waits for the reply.
class DeviceSocket {
 public:
  explicit DeviceSocket(std::uint16_t gatewayPort, const char* local = "127.0.0.1");
  ~DeviceSocket();
  DeviceSocket(const DeviceSocket&) = delete;
  DeviceSocket& operator=(const DeviceSocket&) = delete;

  void SendRaw(const std::vector<std::uint8_t>& bytes);
  // Seals `plain` as a device does and sends it.
  void Send(const sim::Bytes& plain);
  // The next datagram within `timeout`, or nullopt.
  std::optional<sim::Bytes> Receive(std::chrono::milliseconds timeout);
  // Send, then the reply (nullopt when none comes within `timeout`).
  std::optional<sim::Bytes> Exchange(const sim::Bytes& plain,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(3));

 private:
  int fd_ = -1;
};

// A socket of `type` (SOCK_DGRAM, SOCK_STREAM) bound to the loopback address `local` and
// connected to 127.0.0.1:`port`; throws std::runtime_error when it cannot be.
int LoopbackSocket(int type, const char* local, std::uint16_t port);

// Runs a program of the build folder with arguments; waits at most `limit`; returns its exit
// status (-1 when it had to be killed). Its output goes to `log`.
int RunTool(const std::string& name, const std::vector<std::string>& args,
            const std::filesystem::path& log, std::chrono::seconds limit);
// The same in two steps: started in the background, then waited for.
pid_t StartTool(const std::string& name, const std::vector<std::string>& args,
                const std::filesystem::path& log);
int WaitTool(pid_t pid, std::chrono::seconds limit);

// SQLite's PRAGMA integrity_check of a store the gateway has left: "ok" when whole.
std::string IntegrityCheck(const std::filesystem::path& db);

// Every stored event, page after page.
Json AllEvents(GatewayProcess& gateway);

}  // namespace velkor::test
