// An in-process host on the link library, as a transport for the simulator: each datagram is
// answered at once, the way velkor-host answers, except that packets without a reply of their
// own get every kind of command in turn, so that the devices check and apply all of them.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "Transport.h"
#include "velkorlink.h"

namespace velkor::test {

// The commands the host sends, in turn.
enum class Command {
  kEcho,
  kRead,
  kConfig,
  kCards,
  kGroups,
  kSchedules,
  kPasswords,
  kFingerPasswords,
  kClock,
  kControl,
  kExtraOutput,
  kReaderMode,
  kFingerMode,
  kFingerControl,
  kCount
};

// The host's data and what it did, shared by the transports of all devices.
// Orders datagrams by length, then bytes. (std::vector's own ordering, inlined at -O3, draws a
// false -Wstringop-overread from GCC 12 in 32-bit builds.)
struct ShorterFirst {
  bool operator()(const sim::Bytes& a, const sim::Bytes& b) const {
    return a.size() != b.size() ? a.size() < b.size()
                                : std::memcmp(a.data(), b.data(), a.size()) < 0;
  }
};

struct HostSide {
  HostSide();

  std::vector<CardRecord> cards;
  std::vector<MultiCardGroup> groups;
  std::vector<WorkTimeSchedule> schedules;
  std::array<const char*, 10> passwords{};
  ModeBlock mode{};
  std::map<std::pair<std::uint64_t, std::uint8_t>, FingerDataRecord> templates;  // serial, slot

  unsigned accepted = 0;
  unsigned refused = 0;
  unsigned events = 0;
  std::size_t nextCommand = 0;
  std::map<std::uint64_t, std::set<Command>> sent;  // by device serial

  // Misbehaviour on request, to show that the simulator notices it.
  bool answerRefused = false;  // reply to a refused packet too
  bool answerTwice = false;    // send every reply twice
  bool stayMute = false;       // never reply
  bool dropFirstCopy = false;  // take no notice of a datagram the first time it comes
  bool holdFirstCopy = false;  // answer a datagram's first copy only after the next datagram
  std::set<sim::Bytes, ShorterFirst> heard;  // datagrams seen
};

inline constexpr std::uint8_t kControlCommand = 0x05;
inline constexpr std::array<std::uint8_t, 3> kControlArguments = {0x10, 0x20, 0x30};
inline constexpr std::uint8_t kExtraOutputValue = 0x03;
inline constexpr std::uint32_t kFingerNumber = 0x01020304;

class LibraryHost final : public sim::Transport {
 public:
  explicit LibraryHost(HostSide& host) : host_(host) {}
  void Send(const sim::Bytes& datagram) override;
  sim::Receive Await(int timeoutMs, sim::Bytes& datagram) override;

 private:
  std::int32_t Answer(std::uint8_t* packet, std::uint32_t length, std::int32_t code);
  std::int32_t SendCommand(std::uint8_t* packet);

  HostSide& host_;
  std::deque<sim::Bytes> replies_;
  std::deque<sim::Bytes> held_;
};

}  // namespace velkor::test
