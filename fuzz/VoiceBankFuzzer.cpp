// Voice bank reader: the input is a whole MP3DATA.MPD file. Every entry the reader returns must
// lie inside the file behind the header, in record order, and a file without faults must be laid
// out exactly as the compile lays it out. The reader is compiled into the harness from its own
// folder, hence the relative includes.
#include <cstdint>
#include <cstring>

#include "../voicebank/VoiceBank.h"
#include "../voicebank/VoiceBankReader.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t head = size < sonpak::kHeaderSize ? size : sonpak::kHeaderSize;
  const sonpak::VoiceBankLayout layout = sonpak::ReadVoiceBankLayout(data, head, size);
  FUZZ_CHECK(size >= sonpak::kHeaderSize || (!layout.faults.empty() && layout.entries.empty()));

  int previous = 0;
  std::uint64_t expected = sonpak::kHeaderSize;
  for (const sonpak::StoredEntry& entry : layout.entries) {
    FUZZ_CHECK(entry.number > previous && entry.number <= sonpak::kMaxEntries);
    FUZZ_CHECK(entry.offset >= sonpak::kHeaderSize && entry.length >= 1);
    FUZZ_CHECK(std::uint64_t{entry.offset} + entry.length <= size);
    if (layout.faults.empty()) {
      FUZZ_CHECK(entry.offset == expected && entry.number <= layout.entryCount);
    }
    previous = entry.number;
    expected = std::uint64_t{entry.offset} + entry.length;
  }
  if (layout.faults.empty()) {
    FUZZ_CHECK(size == sonpak::kHeaderSize + layout.dataBytes);
    FUZZ_CHECK(layout.dataBytes <= static_cast<std::uint64_t>(sonpak::kDataCapacity));
    FUZZ_CHECK(std::memcmp(data, sonpak::kMagic, sonpak::kMagicLength) == 0);
  }
  return 0;
}
