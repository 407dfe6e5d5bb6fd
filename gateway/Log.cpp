#include "Log.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "Records.h"
#include "Store.h"

namespace velkor::gateway {
namespace {

LogFormat gFormat = LogFormat::kText;
std::mutex gMutex;

const char* LevelName(LogLevel level) {
  switch (level) {
    case LogLevel::kWarning:
      return "warning";
    case LogLevel::kError:
      return "error";
    case LogLevel::kInfo:
      break;
  }
  return "info";
}

}  // namespace

void SetLogFormat(LogFormat format) {
  gFormat = format;
}

void Log(LogLevel level, std::string_view message) {
  std::string line;
  if (gFormat == LogFormat::kJson) {
    line = JsonText({{"time", IsoTime(NowMs())},
                     {"level", LevelName(level)},
                     {"message", std::string(message)}});
  } else {
    line = std::string("velkor-gateway: ") + LevelName(level) + ": " + std::string(message);
  }
  line += '\n';
  std::lock_guard lock(gMutex);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

bool LogLimiter::Allow() {
  const auto now = std::chrono::steady_clock::now();
  std::uint64_t held = 0;
  bool allow = false;
  {
    std::lock_guard lock(mutex_);
    if (now - windowStart_ >= std::chrono::minutes(1)) {
      held = held_;
      windowStart_ = now;
      lines_ = 0;
      held_ = 0;
    }
    allow = lines_ < perMinute_;
    if (allow) {
      ++lines_;
    } else {
      ++held_;
    }
  }
  if (held != 0) {
    LogWarning(std::to_string(held) +
               " more lines like the next one in the last minute, not logged");
  }
  return allow;
}

}  // namespace velkor::gateway
