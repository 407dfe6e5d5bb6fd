// Requests the API refused (401, 403 and the other 4xx), counted per client address and logged
// at a bounded rate, so that a flood of them cannot fill the journal. The counts stay bounded
// too: past kMaxRefusingClients addresses, the rest are counted under "other".
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "Log.h"

namespace velkor::gateway {

inline constexpr std::size_t kMaxRefusingClients = 256;
inline constexpr int kRefusalLinesPerMinute = 10;

class Refusals {
 public:
  // One refusal: `what` is the request line and the reason, as the log may show them.
  void Note(const std::string& address, int status, const std::string& what);
  std::map<std::string, std::uint64_t> ByAddress() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::uint64_t> counts_;
  LogLimiter lines_{kRefusalLinesPerMinute};
};

}  // namespace velkor::gateway
