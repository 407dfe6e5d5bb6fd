/* velkor-records-layout: prints the size of every host record and the offset of every field as
 * a C compiler lays them out from the public header, one line each ("Record size N",
 * "Record.field N"), in the header's order. Each language binding prints the same table from its
 * own declarations; the bindings' tests require the tables to be equal. */
#include <stddef.h>
#include <stdio.h>

#include "velkorlink.h"

#define SIZE(type) printf("%s size %u\n", #type, (unsigned)sizeof(type))
#define FIELD(type, field) printf("%s.%s %u\n", #type, #field, (unsigned)offsetof(type, field))

int main(void) {
  SIZE(CardRecord);
  FIELD(CardRecord, cardNumber);
  FIELD(CardRecord, password);
  FIELD(CardRecord, year);
  FIELD(CardRecord, month);
  FIELD(CardRecord, day);
  FIELD(CardRecord, hour);
  FIELD(CardRecord, param);
  FIELD(CardRecord, flag0);
  FIELD(CardRecord, flag1);
  FIELD(CardRecord, flag2);
  FIELD(CardRecord, flag3);
  FIELD(CardRecord, flag4);
  FIELD(CardRecord, flag7);
  FIELD(CardRecord, flag6);

  SIZE(MultiCardGroup);
  FIELD(MultiCardGroup, groupNumber);
  FIELD(MultiCardGroup, param1);
  FIELD(MultiCardGroup, cardNumbers);
  FIELD(MultiCardGroup, param2);
  FIELD(MultiCardGroup, enabled);
  FIELD(MultiCardGroup, flag0);
  FIELD(MultiCardGroup, flag1);
  FIELD(MultiCardGroup, flag2);
  FIELD(MultiCardGroup, flag3);
  FIELD(MultiCardGroup, flag4);

  SIZE(WorkTimePeriod);
  FIELD(WorkTimePeriod, startHour);
  FIELD(WorkTimePeriod, startMinute);
  FIELD(WorkTimePeriod, endHour);
  FIELD(WorkTimePeriod, endMinute);

  SIZE(WorkTimeSchedule);
  FIELD(WorkTimeSchedule, param0);
  FIELD(WorkTimeSchedule, param1);
  FIELD(WorkTimeSchedule, periods);

  SIZE(EventRecord);
  FIELD(EventRecord, kind);
  FIELD(EventRecord, number);
  FIELD(EventRecord, code);
  FIELD(EventRecord, value1);
  FIELD(EventRecord, value2);
  FIELD(EventRecord, value3);
  FIELD(EventRecord, value4);
  FIELD(EventRecord, value5);
  FIELD(EventRecord, value6);
  FIELD(EventRecord, value7);
  FIELD(EventRecord, value8);
  FIELD(EventRecord, cardNumber);
  FIELD(EventRecord, digits);

  SIZE(ModeBlock);
  FIELD(ModeBlock, settings);

  SIZE(FingerDataRecord);
  FIELD(FingerDataRecord, leadByte);
  FIELD(FingerDataRecord, lowBits);
  FIELD(FingerDataRecord, number);
  FIELD(FingerDataRecord, lowNibble);
  FIELD(FingerDataRecord, templateData);
  return 0;
}
