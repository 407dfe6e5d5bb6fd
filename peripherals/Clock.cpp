#include "peripherals/Clock.h"

#include <ctime>

namespace velkor::peripherals {
namespace {

LocalClock current_clock = &SystemLocalTime;

}  // namespace

std::chrono::local_seconds SystemLocalTime() {
  using namespace std::chrono;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  const local_days date{year{local.tm_year + 1900} /
                        month{static_cast<unsigned>(local.tm_mon + 1)} /
                        day{static_cast<unsigned>(local.tm_mday)}};
  return date + hours{local.tm_hour} + minutes{local.tm_min} + seconds{local.tm_sec};
}

LocalClock ReplaceLocalClock(LocalClock clock) {
  const LocalClock previous = current_clock;
  current_clock = clock;
  return previous;
}

std::chrono::local_seconds LocalNow() {
  return current_clock();
}

ClockFields FieldsOf(std::chrono::local_seconds instant) {
  using namespace std::chrono;
  const local_days date = floor<days>(instant);
  const year_month_day ymd{date};
  const hh_mm_ss time{instant - date};
  return {
      .second = static_cast<int>(time.seconds().count()),
      .minute = static_cast<int>(time.minutes().count()),
      .hour = static_cast<int>(time.hours().count()),
      // C encoding: Sunday 0 .. Saturday 6, the ISO weekday modulo 7.
      .weekday = static_cast<int>(weekday{date}.c_encoding()),
      .day = static_cast<int>(static_cast<unsigned>(ymd.day())),
      .month = static_cast<int>(static_cast<unsigned>(ymd.month())),
      .year = static_cast<int>(ymd.year()),
  };
}

}  // namespace velkor::peripherals
