#include "Refusals.h"

#include "Log.h"

namespace velkor::gateway {

void Refusals::Note(const std::string& address, int status, const std::string& what) {
  const auto now = std::chrono::steady_clock::now();
  std::string line;
  std::uint64_t unlogged = 0;
  {
    std::lock_guard lock(mutex_);
    const auto known = counts_.find(address);
    if (known != counts_.end()) {
      ++known->second;
    } else if (counts_.size() < kMaxRefusingClients) {
      counts_.emplace(address, 1);
    } else {
      ++counts_["other"];
    }
    if (now - windowStart_ >= std::chrono::minutes(1)) {
      unlogged = unlogged_;
      windowStart_ = now;
      logged_ = 0;
      unlogged_ = 0;
    }
    if (logged_ < kRefusalLinesPerMinute) {
      ++logged_;
      line = "refused " + std::to_string(status) + " to " + address + ": " + what;
    } else {
      ++unlogged_;
    }
  }
  if (unlogged != 0) {
    LogWarning(std::to_string(unlogged) + " more refused requests in the last minute, not logged");
  }
  if (!line.empty()) {
    LogWarning(line);
  }
}

std::map<std::string, std::uint64_t> Refusals::ByAddress() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

}  // namespace velkor::gateway
