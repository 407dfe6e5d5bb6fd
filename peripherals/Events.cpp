// Event records. The count at packet byte 26 is the iterator: each call takes the last record
// still counted, decodes it into the host's EventRecord and counts it off.
#include <algorithm>
#include <cstring>

#include "link/Utility.h"
#include "link/WireNumber.h"
#include "peripherals/PeripheralWire.h"
#include "records/PackedDigits.h"
#include "velkorlink.h"

namespace {

namespace wire = velkor::wire;
namespace ev = velkor::wire::event;

int16_t FromBcd(uint8_t bcd) {
  return static_cast<int16_t>(BCDToInt(bcd));
}

void SetReadings(EventRecord& out, const uint8_t* record) {
  const uint8_t* r = record + ev::kReadings;
  out.value1 = r[0];
  out.value2 = r[1];
  out.value3 = r[2];
  out.value4 = r[3];
}

// Kinds 0 and 3 of a current device: the code group decides the bytes after the code.
void DecodeCurrentCode(EventRecord& out, const uint8_t* record) {
  if (out.code == 0x00) {
    out.value5 = record[ev::kTrailer];
    out.value6 = record[ev::kLastTrailer];
  }
  switch (out.code >> ev::kCodeGroupShift) {
    case 0x0:
      SetReadings(out, record);
      break;
    case 0x1:
      out.value6 = record[ev::kTrailer];
      SetReadings(out, record);
      break;
    case 0x7:
    case 0xA:
      out.value6 = record[ev::kDetail];
      break;
    case 0x8:
      out.value6 = record[ev::kDetail];
      out.cardNumber = static_cast<int64_t>(
          velkor::link::ReadWireNumber(record + ev::kCardNumber, ev::kCardNumberLength));
      break;
    case 0x9:
      out.value6 = record[ev::kDetail];
      velkor::records::PackedToDigits(out.digits, record + ev::kDigits);
      break;
    case 0xC:
      out.value5 = record[ev::kDetail];
      out.value6 = record[ev::kSubDetail];
      break;
    case 0xD:
    case 0xE:
      out.value7 = record[ev::kDetail];
      out.value8 = record[ev::kSubDetail];
      break;
    case 0xF:
      out.value6 = static_cast<int16_t>(BCDToInt(record[ev::kSubDetail]) * 100);
      break;
    default:  // groups 2..6 and B carry nothing further
      break;
  }
}

// Kinds 0 and 3 of a legacy device, whose frame carries only bytes 1..10.
void DecodeLegacyCode(EventRecord& out, const uint8_t* record) {
  const uint8_t detail = record[ev::kDetail];
  if (out.code == ev::kLegacyHundredsCode) {
    // A byte that is no two-digit BCD number reads as 1.
    const bool bcd = detail <= 0x99 && (detail & 0x0F) <= 9;
    out.value6 = bcd ? static_cast<int16_t>(BCDToInt(detail) * 100) : int16_t{1};
  }
  if (out.code < ev::kLegacyFirstBareCode) {
    out.value5 = detail;
    out.value7 = record[ev::kLegacySubDetail];
    out.value8 = record[ev::kLegacyLastDetail];
  }
}

}  // namespace

extern "C" {

bool GetEvents(uint8_t* packet, EventRecord* record) {
  uint8_t& remaining = packet[ev::kRecordCount];
  if (remaining == 0) {
    return false;
  }
  --remaining;
  const bool legacy = packet[wire::kDeviceType] == wire::kLegacyDevice;
  const uint8_t* r =
      packet + (legacy ? ev::kLegacyRecords : ev::kCurrentRecords) + ev::kRecordLength * remaining;

  EventRecord& out = *record;
  out.kind = legacy ? static_cast<uint8_t>(r[ev::kKind] >> ev::kLegacyKindShift) : r[ev::kKind];
  out.value1 = out.value2 = out.value3 = out.value4 = -1;
  out.value5 = out.value6 = out.value7 = out.value8 = -1;
  out.cardNumber = -1;
  std::memset(out.digits, 0, sizeof out.digits);

  switch (out.kind) {
    case 0:
    case 3:
      out.number = velkor::link::ReadWireNumber(r + ev::kNumber, ev::kNumberLength);
      out.code = r[ev::kCode];
      if (legacy) {
        DecodeLegacyCode(out, r);
      } else {
        DecodeCurrentCode(out, r);
      }
      break;
    case 1:
      out.code = r[ev::kAlarmCode];
      out.value6 = r[ev::kAlarmDetail];
      if (r[ev::kAlarmIndex] <= ev::kAlarmIndexLimit) {
        out.value7 = r[ev::kAlarmIndex];
      }
      break;
    case 2:
      out.value1 = FromBcd(r[ev::kStatusBcd]);
      out.value2 = FromBcd(r[ev::kStatusBcd + 1]);
      out.value3 = r[ev::kStatusPlain];
      out.value4 = r[ev::kStatusPlain + 1];
      out.value5 = r[ev::kStatusPlain + 2];
      // A legacy device expects the status bytes repeated at 30..39. In a current packet those
      // bytes belong to record 0, still undecoded, so they are left alone there.
      if (legacy) {
        std::copy_n(r + ev::kStatusCopied, ev::kStatusCopyLength, packet + ev::kStatusCopyTarget);
      }
      break;
    case 4:
      out.number = velkor::link::ReadWireNumber(r + ev::kShortNumber, ev::kShortNumberLength);
      out.value6 = r[ev::kShortDetail];
      out.value7 = r[ev::kShortLastDetail];
      break;
    default:  // kinds above 4 are consumed without decoding
      break;
  }
  return true;
}

}  // extern "C"
