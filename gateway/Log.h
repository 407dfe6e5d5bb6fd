// The gateway's log: one line per notable event on stderr, where journald keeps it, each with
// its level; as text ("velkor-gateway: warning: ...") or as one JSON object a line for log
// shippers (--log-format json). Lines from several threads never interleave.
#pragma once

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

}  // namespace velkor::gateway
