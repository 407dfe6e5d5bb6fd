// Work-time schedules: host WorkTimeSchedules to 32-byte wire records (0xF3) and back (0xF4).
#include <cstring>
#include <iterator>

#include "link/Seal.h"
#include "link/Utility.h"
#include "link/Wire.h"
#include "records/RecordWire.h"
#include "velkorlink.h"

namespace wire = velkor::wire;
namespace records = velkor::records;
namespace schedule = velkor::records::schedule;

namespace {

int MinuteOfDay(uint8_t hour, uint8_t minute) {
  return hour * schedule::kMinutesPerHour + minute;
}

// Only the two sums are tested, so 10:75 passes as 11:15 would; an hour of 24 is allowed.
bool IsPresent(const WorkTimePeriod& p) {
  const int start = MinuteOfDay(p.startHour, p.startMinute);
  const int end = MinuteOfDay(p.endHour, p.endMinute);
  return start <= schedule::kLastMinute && end <= schedule::kLastMinute && start < end;
}

void WriteSchedule(uint8_t* out, const WorkTimeSchedule& s) {
  out[schedule::kParam0] = s.param0;
  out[schedule::kParam1] = s.param1;
  std::memset(out + schedule::kPeriods, schedule::kAbsentFill,
              schedule::kPeriodCount * schedule::kPeriodLength);
  for (std::size_t j = 0; j < schedule::kPeriodCount; ++j) {
    const WorkTimePeriod& p = s.periods[j];
    if (!IsPresent(p)) {
      continue;
    }
    uint8_t* period = out + schedule::kPeriods + schedule::kPeriodLength * j;
    const uint8_t times[] = {p.startHour, p.startMinute, p.endHour, p.endMinute};
    period[schedule::kPeriodMarker] = schedule::kPresentMarker;
    for (std::size_t t = 0; t < std::size(times); ++t) {
      period[schedule::kPeriodTimes + t] = static_cast<uint8_t>(IntToBCD(times[t]));
    }
  }
}

void ReadSchedule(WorkTimeSchedule& s, const uint8_t* in) {
  s.param0 = in[schedule::kParam0];
  s.param1 = in[schedule::kParam1];
  for (std::size_t j = 0; j < schedule::kPeriodCount; ++j) {
    const uint8_t* period = in + schedule::kPeriods + schedule::kPeriodLength * j;
    uint8_t times[4];
    for (std::size_t t = 0; t < std::size(times); ++t) {
      times[t] = period[schedule::kPeriodMarker] == schedule::kPresentMarker
                     ? static_cast<uint8_t>(BCDToInt(period[schedule::kPeriodTimes + t]))
                     : schedule::kAbsentField;
    }
    s.periods[j] = {times[0], times[1], times[2], times[3]};
  }
}

}  // namespace

extern "C" {

int32_t SendWorkTime(uint8_t* packet, int32_t count, const WorkTimeSchedule* schedules) {
  const std::size_t n = records::SentRecords(count, schedule::kMaxRecords);
  for (std::size_t k = 0; k < n; ++k) {
    WriteSchedule(packet + wire::kPayload + schedule::kStride * k, schedules[k]);
  }
  packet[wire::kCommandCode] = wire::code::kWorkTimeToDevice;
  velkor::link::SealPacket(packet);
  return records::ReplyLength(n, schedule::kStride);
}

int32_t GetWorkTime(const uint8_t* packet, uint32_t length, WorkTimeSchedule* schedules) {
  // A packet shorter than the head has no command code to test: not even byte 0 is read.
  if (length < wire::kHeadLength || packet[wire::kCommandCode] != wire::code::kWorkTimeFromDevice) {
    return 0;
  }
  const std::size_t n = std::min(records::ReceivedRecords(length, schedule::kStride),
                                 static_cast<std::size_t>(schedule::kMaxRecords));
  for (std::size_t k = 0; k < n; ++k) {
    ReadSchedule(schedules[k], packet + wire::kPayload + schedule::kStride * k);
  }
  return static_cast<int32_t>(n);
}

}  // extern "C"
