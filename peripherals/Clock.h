// Local wall-clock time for the device clock command.
#pragma once

#include <chrono>

namespace velkor::peripherals {

// A source of the local date and time, to the second.
using LocalClock = std::chrono::local_seconds (*)();

// The runtime's local date and time.
std::chrono::local_seconds SystemLocalTime();

// The clock that LocalNow reads, the runtime's unless replaced. Returns the clock it replaces,
// so that an instant can be pinned and the previous clock put back.
LocalClock ReplaceLocalClock(LocalClock clock);

std::chrono::local_seconds LocalNow();

// The fields of a local instant in the ranges the device clock takes them.
struct ClockFields {
  int second;   // 0..59
  int minute;   // 0..59
  int hour;     // 0..23
  int weekday;  // Sunday 0, Monday 1 .. Saturday 6
  int day;      // 1..31
  int month;    // 1..12
  int year;     // full year
};
ClockFields FieldsOf(std::chrono::local_seconds instant);

}  // namespace velkor::peripherals
