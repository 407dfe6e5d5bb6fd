#include "FaultProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace velkor::test {
namespace {

constexpr std::uint32_t kSslRequest = 80877103;
constexpr std::uint32_t kGssRequest = 80877104;
constexpr std::size_t kHistory = 1 << 16;  // SQL a connection sent, for DropWhere

std::uint32_t BigEndian(const char* p) {
  std::uint32_t value = 0;
  std::memcpy(&value, p, 4);
  return ntohl(value);
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent <= 0) {
      return false;
    }
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

std::string CString(const char* p, const char* end) {
  return std::string(p, static_cast<std::size_t>(std::find(p, end, '\0') - p));
}

}  // namespace

struct FaultProxy::Connection {
  int fd[2] = {-1, -1};  // client, server
  std::string in[2];     // bytes read and not yet passed on
  bool startup = true;   // the client's untyped packets come first
  int singleBytes = 0;   // the server's one-byte answers to SSL and GSS requests
  bool closed = false;
  std::map<std::string, std::string> statements;  // prepared: name -> SQL
  std::string history;

  void Close() {
    closed = true;
    for (const int f : fd) {
      shutdown(f, SHUT_RDWR);
    }
  }
};

FaultProxy::FaultProxy(std::uint16_t upstream) : upstream_(upstream) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 64) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(listener_);
    throw std::runtime_error("fault proxy: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

FaultProxy::~FaultProxy() {
  stop_ = true;
  thread_.join();
  for (const auto& c : connections_) {
    close(c->fd[0]);
    close(c->fd[1]);
  }
  close(listener_);
}

void FaultProxy::Arm(const std::string& trigger, int n, const std::string& marker) {
  std::lock_guard lock(mutex_);
  trigger_ = trigger;
  marker_ = marker;
  n_ = n;
  counted_ = 0;
  target_ = nullptr;
  armed_ = true;
  fired_ = markerSeen_ = false;
  trace_.clear();
}

void FaultProxy::Disarm() {
  std::lock_guard lock(mutex_);
  armed_ = false;
  target_ = nullptr;
}

bool FaultProxy::Fired() const {
  std::lock_guard lock(mutex_);
  return fired_;
}

std::string FaultProxy::Trace() const {
  std::lock_guard lock(mutex_);
  return trace_;
}

bool FaultProxy::MarkerSeen() const {
  std::lock_guard lock(mutex_);
  return markerSeen_;
}

int FaultProxy::DropWhere(const std::string& text) {
  std::lock_guard lock(mutex_);
  int dropped = 0;
  for (const auto& c : connections_) {
    if (!c->closed && c->history.find(text) != std::string::npos) {
      c->Close();
      ++dropped;
    }
  }
  return dropped;
}

void FaultProxy::Run() {
  char buffer[65536];
  while (!stop_) {
    std::vector<pollfd> fds{{listener_, POLLIN, 0}};
    std::vector<Connection*> owners{nullptr};
    {
      std::lock_guard lock(mutex_);
      for (const auto& c : connections_) {
        for (const int fd : c->fd) {
          fds.push_back({fd, POLLIN, 0});
          owners.push_back(c.get());
        }
      }
    }
    if (poll(fds.data(), fds.size(), 20) <= 0) {
      continue;
    }
    std::lock_guard lock(mutex_);
    if (fds[0].revents & POLLIN) {
      Accept();
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      Connection& c = *owners[i];
      if (fds[i].revents == 0 || c.closed) {
        continue;
      }
      const bool fromClient = fds[i].fd == c.fd[0];
      const ssize_t got = recv(fds[i].fd, buffer, sizeof buffer, 0);
      if (got <= 0) {
        c.Close();  // one side went: the other goes too, as a broken link would
        continue;
      }
      c.in[fromClient ? 0 : 1].append(buffer, static_cast<std::size_t>(got));
      Pump(c, fromClient);
    }
    for (auto it = connections_.begin(); it != connections_.end();) {
      if ((*it)->closed) {
        if (target_ == it->get()) {
          // Closed by its own side before the drop: the next trigger counts from 1 again.
          target_ = nullptr;
          counted_ = 0;
          markerSeen_ = false;
          trace_.clear();
        }
        close((*it)->fd[0]);
        close((*it)->fd[1]);
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
}

void FaultProxy::Accept() {
  const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) {
    return;
  }
  const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(upstream_);
  if (connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(client);
    close(server);
    return;
  }
  // A peer that stops reading must not hold the proxy's thread for long.
  const timeval limit{5, 0};
  const int on = 1;
  for (const int fd : {client, server}) {
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // messages go one by one
  }
  auto c = std::make_unique<Connection>();
  c->fd[0] = client;
  c->fd[1] = server;
  connections_.push_back(std::move(c));
}

bool FaultProxy::Pump(Connection& c, bool fromClient) {
  std::string& in = c.in[fromClient ? 0 : 1];
  std::size_t at = 0;
  while (!c.closed) {
    const char* p = in.data() + at;
    const std::size_t left = in.size() - at;
    std::size_t size = 0;
    char type = 0;
    std::string sql;
    if (!fromClient && c.singleBytes > 0) {
      if (left < 1) {
        break;
      }
      size = 1;
      type = p[0];
      --c.singleBytes;
    } else if (fromClient && c.startup) {
      if (left < 8 || left < BigEndian(p)) {
        break;
      }
      size = BigEndian(p);
      const std::uint32_t code = BigEndian(p + 4);
      if (code == kSslRequest || code == kGssRequest) {
        ++c.singleBytes;
      } else {
        c.startup = false;
      }
      type = '0';
    } else {
      if (left < 5 || left < 1 + static_cast<std::size_t>(BigEndian(p + 1))) {
        break;
      }
      size = 1 + BigEndian(p + 1);
      type = p[0];
      const char* body = p + 5;
      const char* end = p + size;
      if (fromClient && type == 'Q') {
        sql = CString(body, end);
      } else if (fromClient && type == 'P') {
        const std::string name = CString(body, end);
        sql = CString(body + name.size() + 1, end);
        c.statements[name] = sql;
      } else if (fromClient && type == 'B') {
        const std::string portal = CString(body, end);
        const auto found = c.statements.find(CString(body + portal.size() + 1, end));
        sql = found != c.statements.end() ? found->second : std::string();
      }
    }
    if (!sql.empty() && c.history.size() < kHistory) {
      c.history += sql;
      c.history += '\n';
    }
    if (!Forward(c, fromClient, p, size, type, sql)) {
      return false;
    }
    at += size;
  }
  in.erase(0, at);
  return !c.closed;
}

bool FaultProxy::Forward(Connection& c, bool fromClient, const char* data, std::size_t size,
                         char type, const std::string& sql) {
  if (armed_ && target_ == nullptr && fromClient && !sql.empty() &&
      sql.find(trigger_) != std::string::npos) {
    target_ = &c;
  }
  if (!SendAll(c.fd[fromClient ? 1 : 0], data, size)) {
    c.Close();
    return false;
  }
  if (!armed_ || target_ != &c) {
    return true;
  }
  if (fromClient && !marker_.empty() && sql.find(marker_) != std::string::npos) {
    markerSeen_ = true;
  }
  trace_ += trace_.empty() ? "" : " ";
  trace_ += fromClient ? "C:" : "S:";
  trace_ += type;
  if (++counted_ >= n_) {
    fired_ = true;
    armed_ = false;
    target_ = nullptr;
    c.Close();
    return false;
  }
  return true;
}

std::uint16_t PortOf(const std::string& url) {
  const std::size_t host = url.find("@127.0.0.1:");
  return host == std::string::npos
             ? 0
             : static_cast<std::uint16_t>(std::stoi(url.substr(host + std::strlen("@127.0.0.1:"))));
}

std::string WithPort(const std::string& url, std::uint16_t port) {
  const std::size_t start = url.find("@127.0.0.1:") + std::strlen("@127.0.0.1:");
  const std::size_t end = url.find('/', start);
  return url.substr(0, start) + std::to_string(port) + url.substr(end);
}

}  // namespace velkor::test
