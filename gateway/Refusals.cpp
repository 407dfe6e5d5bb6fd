#include "Refusals.h"

namespace velkor::gateway {

void Refusals::Note(const std::string& address, int status, const std::string& what) {
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
  }
  if (lines_.Allow()) {
    LogWarning("refused " + std::to_string(status) + " to " + address + ": " + what);
  }
}

std::map<std::string, std::uint64_t> Refusals::ByAddress() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

}  // namespace velkor::gateway
