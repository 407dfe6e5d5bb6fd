#include "VoiceBankReader.h"

#include <algorithm>
#include <cstring>

#include "VoiceBank.h"

namespace sonpak {
namespace {

constexpr std::size_t kMagicFillEnd = 16;  // bytes 13..15: FF FF FF
constexpr std::size_t kCountFillEnd = 32;  // bytes 17..31: FF
constexpr std::size_t kRecordFill = 9;     // used record bytes 9..15: FF
constexpr std::size_t kMarkerByte = 8;

bool AllFF(const std::uint8_t* from, std::size_t count) {
  return std::all_of(from, from + count, [](std::uint8_t b) { return b == 0xFF; });
}

std::uint32_t BigEndian24(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) << 16 | static_cast<std::uint32_t>(at[1]) << 8 | at[2];
}

std::string Bytes(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

std::string Record(int number) {
  return "record " + std::to_string(number) + ": ";
}

void CheckFixedBytes(const std::uint8_t* head, VoiceBankLayout& layout) {
  if (std::memcmp(head, kMagic, kMagicLength) != 0) {
    layout.faults.push_back("bytes 0..12 are not the magic \"" + std::string(kMagic) + "\"");
  }
  if (!AllFF(head + kMagicLength, kMagicFillEnd - kMagicLength)) {
    layout.faults.push_back("bytes 13..15 are not FF FF FF");
  }
  layout.entryCount = head[kCountOffset];
  if (layout.entryCount > kMaxEntries) {
    layout.faults.push_back("the entry count (byte 16) is " + std::to_string(layout.entryCount) +
                            ", above " + std::to_string(kMaxEntries));
  }
  if (!AllFF(head + kCountOffset + 1, kCountFillEnd - kCountOffset - 1)) {
    layout.faults.push_back("bytes 17..31 are not all FF");
  }
}

}  // namespace

VoiceBankLayout ReadVoiceBankLayout(const std::uint8_t* head, std::size_t headSize,
                                    std::uint64_t fileSize) {
  VoiceBankLayout layout;
  if (fileSize < kHeaderSize || headSize < kHeaderSize) {
    layout.faults.push_back("the file is " + std::to_string(fileSize) +
                            " bytes, shorter than its " + std::to_string(kHeaderSize) +
                            "-byte header");
    return layout;
  }
  CheckFixedBytes(head, layout);

  // Each used record's data starts where the data of the used records before it ends. After a
  // record that is neither used nor unused, where the data lies is no longer known: the next used
  // record's offset is taken as it is, and the file's size is not checked against the data.
  std::uint64_t expected = kHeaderSize;
  std::uint64_t lastEnd = kHeaderSize;
  bool extentKnown = true;
  bool pastEnd = false;
  bool resync = false;
  for (int k = 0; k < kMaxEntries; ++k) {
    const std::uint8_t* record =
        head + kIndexOffset + static_cast<std::size_t>(k) * kIndexRecordSize;
    const int number = k + 1;
    if (AllFF(record, kIndexRecordSize)) {
      continue;
    }
    if (record[kMarkerByte] != kInUseMarker || record[0] != 0 || record[4] != 0) {
      layout.faults.push_back(Record(number) +
                              "neither in use (byte 8 A4, bytes 0 and 4 zero) nor unused (all FF)");
      extentKnown = false;
      resync = true;
      continue;
    }
    const std::uint32_t offset = BigEndian24(record + 1);
    const std::uint32_t length = BigEndian24(record + 5);
    const std::uint64_t end = std::uint64_t{offset} + length;
    const std::string at = Record(number) + "offset " + std::to_string(offset) + ", length " +
                           std::to_string(length) + ": ";
    if (!AllFF(record + kRecordFill, kIndexRecordSize - kRecordFill)) {
      layout.faults.push_back(Record(number) + "bytes 9..15 are not all FF");
    }
    if (layout.entryCount >= 0 && number > layout.entryCount) {
      layout.faults.push_back(Record(number) + "in use beyond the entry count " +
                              std::to_string(layout.entryCount));
    }
    if (length == 0) {
      layout.faults.push_back(Record(number) + "in use with length 0");
    }
    if (resync) {
      expected = std::max<std::uint64_t>(offset, kHeaderSize);
      resync = false;
    }
    if (offset < kHeaderSize) {
      layout.faults.push_back(at + "overlaps the header");
    } else if (offset < expected) {
      layout.faults.push_back(at + "overlaps the data before it, which ends at " +
                              std::to_string(expected));
    } else if (offset > expected) {
      layout.faults.push_back(at + "leaves a gap of " + Bytes(offset - expected) + " after " +
                              std::to_string(expected));
    }
    if (end > fileSize) {
      layout.faults.push_back(at + "passes the end of the file (" + std::to_string(fileSize) +
                              " bytes)");
      pastEnd = true;
    } else if (offset >= kHeaderSize && length > 0) {
      layout.entries.push_back({number, offset, length});
    }
    expected += length;
    layout.dataBytes += length;
    lastEnd = std::max(lastEnd, end);
  }

  if (layout.dataBytes > static_cast<std::uint64_t>(kDataCapacity)) {
    layout.faults.push_back("the data totals " + std::to_string(layout.dataBytes) +
                            " bytes, above the capacity of " + std::to_string(kDataCapacity));
  }
  if (!extentKnown) {
    return layout;
  }
  if (fileSize > lastEnd) {
    const std::uint64_t extra = fileSize - lastEnd;
    layout.faults.push_back(
        Bytes(extra) + (extra == 1 ? " follows" : " follow") + " the end of " +
        (lastEnd == kHeaderSize ? std::string("the header") : "the last entry's data") + " at " +
        std::to_string(lastEnd));
  } else if (!pastEnd && fileSize != kHeaderSize + layout.dataBytes) {
    layout.faults.push_back("the file is " + std::to_string(fileSize) + " bytes, not " +
                            std::to_string(kHeaderSize) + " + " + std::to_string(layout.dataBytes) +
                            " (the header and its data)");
  }
  return layout;
}

}  // namespace sonpak
