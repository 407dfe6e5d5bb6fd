// Work-time schedules: GetWorkTime on a received packet of `length` bytes into a host array of
// exactly the records it may write; then SendWorkTime of fuzzed schedules read back.
//
// Input: code byte, length word (0..2048), the packet's bytes, then the count and the host
// schedules of the round trip.
#include <algorithm>

#include "FuzzSupport.h"
#include "velkorlink.h"

namespace {

using namespace velkor::fuzz;

constexpr std::uint8_t kScheduleList = 0xF4;
constexpr std::size_t kStride = 32;
constexpr std::size_t kMaxSchedules = 16;
constexpr std::uint8_t kPresent = 0xA5;

bool Absent(const WorkTimePeriod& p) {
  return p.startHour == 255 && p.startMinute == 255 && p.endHour == 255 && p.endMinute == 255;
}

void ReadReceived(Input& in) {
  const std::uint8_t code = DrawCode(in, kScheduleList);
  const std::uint32_t length = in.Word() % 2049;
  Exact packet(length);
  in.Bytes(packet.data(), length);
  if (length > 0) {
    packet[0] = code;
  }
  const std::size_t records =
      std::min(length < kHead ? 0 : (length - kHead) / kStride, kMaxSchedules);
  Records<WorkTimeSchedule> schedules(records);

  const std::int32_t n = GetWorkTime(packet.data(), length, schedules.data());
  FUZZ_CHECK(n == (length > 0 && code == kScheduleList ? static_cast<std::int32_t>(records) : 0));
  for (std::int32_t k = 0; k < n; ++k) {
    const std::uint8_t* wire = packet.data() + kHead + kStride * k;
    const WorkTimeSchedule& s = schedules[k];
    FUZZ_CHECK(s.param0 == wire[0] && s.param1 == wire[1]);
    for (std::size_t j = 0; j < 6; ++j) {
      FUZZ_CHECK(wire[2 + 5 * j] == kPresent || Absent(s.periods[j]));
    }
  }
}

int Minutes(std::uint8_t hour, std::uint8_t minute) {
  return hour * 60 + minute;
}

// A period goes out when it lies within the day and starts before it ends; it comes back as
// sent when its four values are 0..99, and as absent (255 in each field) when it did not go.
void RoundTrip(Input& in) {
  const std::size_t count = in.Byte() % (kMaxSchedules + 1);
  Records<WorkTimeSchedule> sent(count);
  in.Bytes(reinterpret_cast<std::uint8_t*>(sent.data()), count * sizeof(WorkTimeSchedule));
  const std::size_t length = kHead + kStride * count;
  Exact packet(length);
  in.Bytes(packet.data(), kHead);

  FUZZ_CHECK(SendWorkTime(packet.data(), static_cast<std::int32_t>(count), sent.data()) ==
             static_cast<std::int32_t>(length));
  FUZZ_CHECK(packet[0] == 0xF3);
  packet[0] = kScheduleList;
  Records<WorkTimeSchedule> read(count);
  FUZZ_CHECK(GetWorkTime(packet.data(), static_cast<std::uint32_t>(length), read.data()) ==
             static_cast<std::int32_t>(count));
  for (std::size_t k = 0; k < count; ++k) {
    const WorkTimeSchedule& s = sent[k];
    const WorkTimeSchedule& r = read[k];
    FUZZ_CHECK(r.param0 == s.param0 && r.param1 == s.param1);
    for (std::size_t j = 0; j < 6; ++j) {
      const WorkTimePeriod& p = s.periods[j];
      const int start = Minutes(p.startHour, p.startMinute);
      const int end = Minutes(p.endHour, p.endMinute);
      const bool goes = start <= 1440 && end <= 1440 && start < end;
      const WorkTimePeriod& q = r.periods[j];
      if (!goes) {
        FUZZ_CHECK(Absent(q));
      } else if (p.startHour <= 99 && p.startMinute <= 99 && p.endHour <= 99 && p.endMinute <= 99) {
        FUZZ_CHECK(q.startHour == p.startHour && q.startMinute == p.startMinute &&
                   q.endHour == p.endHour && q.endMinute == p.endMinute);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  ReadReceived(in);
  RoundTrip(in);
  return 0;
}
