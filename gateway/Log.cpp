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

}  // namespace velkor::gateway
