// The fields of decoded host records and wire blocks as JSON, in one place, so that the
// inspector's output and the test vectors file name every field the same way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Json.h"
#include "velkorlink.h"

namespace velkor::inspect {

// Bytes as "F8 00 01 ...".
Json HexBytes(const std::uint8_t* bytes, std::size_t count);

Json CardFields(const CardRecord& card);
Json GroupFields(const MultiCardGroup& group);
Json ScheduleFields(const WorkTimeSchedule& schedule);  // absent periods as 255 255 255 255
Json ModeFields(const ModeBlock& block);                // the five settings bytes
// The fields the record's kind carries: `number` for kinds 0, 3 and 4, `code` for kinds 0, 1
// and 3; the eight values, the card number and the digit text always.
Json EventFields(const EventRecord& event);

// The 60-byte network configuration record in the library's layout (words low byte first);
// `captured` is left out when the record came from a reply, which carries no captured flag.
inline constexpr std::size_t kConfigLength = 60;
Json ConfigFields(const std::uint8_t* record, bool with_captured_flag);

}  // namespace velkor::inspect
