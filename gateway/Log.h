// The gateway's log: one line per notable event on stderr, where journald keeps it, each with
// its level; as text ("velkor-gateway: warning: ...") or as one JSON object a line for log
// shippers (--log-format json). Lines from several threads never interleave.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string_view>

namespace velkor::gateway {

enum class LogLevel { kInfo, kWarning, kError };
enum class LogFormat { kText, kJson };

void SetLogFormat(LogFormat format);  // before the threads start
void Log(LogLevel level, std::string_view message);

inline void LogInfo(std::string_view message) {
  Log(LogLevel::kInfo, message);
}
inline void LogWarning(std::string_view message) {
  Log(LogLevel::kWarning, message);
}
inline void LogError(std::string_view message) {
  Log(LogLevel::kError, message);
}

// Lines of one kind, at most `perMinute` a minute, so that a flood of what they report cannot
// fill the journal: the next line allowed after a full minute is preceded by a count of those
// held back.
class LogLimiter {
 public:
  explicit LogLimiter(int perMinute = 10) : perMinute_(perMinute) {}
  bool Allow();

 private:
  std::mutex mutex_;
  int perMinute_;
  std::chrono::steady_clock::time_point windowStart_{};
  int lines_ = 0;           // allowed this minute
  std::uint64_t held_ = 0;  // held back this minute
};

}  // namespace velkor::gateway
