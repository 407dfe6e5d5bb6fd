// Reading MP3DATA.MPD back: the header's index checked against the layout the compile writes
// (VoiceBank.h), and the stored entries found. Works on bytes in memory and builds everywhere;
// the caller reads the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sonpak {

// The largest file the compile writes: the header and kDataCapacity data bytes (0x3E9000).
inline constexpr std::uint64_t kMaxFileSize = 4100096;

// A used index record whose data lies wholly inside the file, behind the header.
struct StoredEntry {
  int number = 0;            // the list number 1..254 (index record number + 1)
  std::uint32_t offset = 0;  // from the start of the file
  std::uint32_t length = 0;  // at least 1
};

struct VoiceBankLayout {
  int entryCount = -1;               // byte 16; -1 when the file is shorter than its header
  std::vector<StoredEntry> entries;  // in record order
  std::uint64_t dataBytes = 0;       // D: the lengths of all used records added up
  std::vector<std::string> faults;   // every departure from the compile's layout; none = sound
};

// Checks a voice bank file of `fileSize` bytes whose first min(fileSize, 4096) bytes are
// `head[0..headSize)`. Entries whose data would lie outside the file, or inside the header, are
// reported as faults and left out of `entries`, so each entry's bytes can be read safely.
VoiceBankLayout ReadVoiceBankLayout(const std::uint8_t* head, std::size_t headSize,
                                    std::uint64_t fileSize);

}  // namespace sonpak
