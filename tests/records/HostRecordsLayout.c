/* The host records as a C compiler lays them out from the public header. */
#include <stddef.h>

#include "velkorlink.h"

const size_t velkor_c_record_layout[] = {
    sizeof(CardRecord),
    sizeof(CardRecord[2]),
    sizeof(MultiCardGroup),
    sizeof(MultiCardGroup[2]),
    sizeof(WorkTimePeriod),
    sizeof(WorkTimeSchedule),
    sizeof(WorkTimeSchedule[2]),
    offsetof(CardRecord, password),
    offsetof(CardRecord, year),
    offsetof(CardRecord, month),
    offsetof(CardRecord, flag7),
    offsetof(MultiCardGroup, cardNumbers),
    offsetof(MultiCardGroup, param2),
    offsetof(WorkTimeSchedule, periods),
};
const size_t velkor_c_record_layout_count =
    sizeof velkor_c_record_layout / sizeof velkor_c_record_layout[0];
