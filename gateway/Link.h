// The UDP side of the gateway: one socket, datagrams taken in batches with recvmmsg and the
// replies sent with sendmmsg. What a batch gets in answer is the handler's business; the link
// only moves bytes.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velkor::gateway {

// The longest datagram taken; a longer one is refused whole, never cut. Device packets are far
// shorter (a card list of 88 cards is 1346 bytes).
inline constexpr std::size_t kMaxDatagram = 4096;
// The longest voice clip a reply carries: the reply (29 bytes + the clip) must fit one UDP
// datagram.
inline constexpr std::size_t kMaxVoiceClip = 60000;
inline constexpr std::size_t kVoiceHead = 29;
// Every datagram is worked on in a buffer that holds it and every fixed-length reply (a card
// list of 88 cards is the longest, 1346 bytes); a voice reply grows its buffer to fit its clip.
inline constexpr std::size_t kWorkBuffer = 2 * kMaxDatagram;
// Datagrams taken before they are answered together (one store commit for all of them): what
// has arrived, up to this many.
inline constexpr std::size_t kMaxBatch = 2048;
inline constexpr std::size_t kReceiveAtOnce = 256;  // per recvmmsg call

struct Datagram {
  Datagram() = default;
  // Room for `room` bytes: a datagram that only carries a reply decided elsewhere.
  explicit Datagram(std::size_t room) : buffer(room) {}

  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kWorkBuffer);
  std::uint32_t length = 0;
  bool oversized = false;  // longer than kMaxDatagram
  sockaddr_storage from{};
  socklen_t fromLength = 0;
  // Set by the handler: the reply's length (0: no reply) and where it goes.
  std::int32_t reply = 0;
  sockaddr_storage to{};
  socklen_t toLength = 0;
};

class BatchHandler {
 public:
  virtual ~BatchHandler() = default;
  // Works through the batch; sets each datagram's reply. Replies go out after it returns.
  virtual void Handle(std::span<Datagram> batch) = 0;
  // Called about every 250 ms, also when no datagram comes.
  virtual void Tick() {}
};

// "HOST:PORT" or "[V6HOST]:PORT" -> host and port; false when malformed.
bool SplitHostPort(const std::string& text, std::string& host, std::uint16_t& port);

// A numeric address of this machine's loopback: 127.0.0.0/8, ::1, or 127.0.0.0/8 mapped to IPv6.
bool IsLoopbackAddress(const std::string& host);

// "ADDRESS" text of a socket address (no port) and its port.
std::string AddressText(const sockaddr_storage& address);
std::uint16_t AddressPort(const sockaddr_storage& address);

class Link {
 public:
  // Binds the UDP socket; throws std::runtime_error with a message that says what failed
  // (address in use, not an address, ...).
  explicit Link(const std::string& listen);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  std::string BoundText() const;  // "HOST:PORT" as bound (port 0 resolved)

  // Serves until `stop` is set: takes what has arrived (up to kMaxBatch), hands it to the
  // handler, sends the replies. The batch in hand when `stop` is set is finished.
  void Serve(BatchHandler& handler, const std::atomic<bool>& stop);

  // Sends the replies of the datagrams with one (reply above 0); from any thread.
  void Send(std::span<Datagram> datagrams);

 private:
  std::size_t Receive(bool wait);

  int fd_ = -1;
  std::vector<Datagram> batch_;
};

}  // namespace velkor::gateway
