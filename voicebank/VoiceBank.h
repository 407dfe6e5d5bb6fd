// The voice bank file MP3DATA.MPD and its compile. No GUI here: the builder window hands in the
// list and shows what goes wrong, this unit does the file work.
//
// File layout (offsets from the start of the file, no trailer):
//   0     13    "MP3DATA_VER00" in ASCII, no terminator
//   13    3     FF FF FF
//   16    1     the list's entry count (0..254)
//   17    15    FF each
//   32    4064  254 index records of 16 bytes; record k describes list entry k+1
//   4096  D     the data of every entry that has some, in list order, back to back
// Index record in use: 00, offset (24 bits, big-endian), 00, length (24 bits, big-endian), A4,
// then seven FF. Unused (no such entry, path cleared, or empty file): sixteen FF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace sonpak {

inline constexpr int kMaxEntries = 254;
inline constexpr std::int64_t kDataCapacity = 4096000;  // 0x3E8000 data bytes at most
inline constexpr std::size_t kHeaderSize = 4096;
inline constexpr std::size_t kIndexOffset = 32;
inline constexpr std::size_t kIndexRecordSize = 16;
inline constexpr std::uint8_t kInUseMarker = 0xA4;
inline constexpr char kMagic[] = "MP3DATA_VER00";
inline constexpr std::size_t kMagicLength = sizeof(kMagic) - 1;  // 13, stored without terminator
inline constexpr std::size_t kCountOffset = 16;

// Written into the current working directory under this bare name.
inline constexpr char kVoiceBankFileName[] = "MP3DATA.MPD";

// The error text when the gathered data would pass kDataCapacity (UTF-8).
inline constexpr char kCapacityMessage[] = "文件大小超过容量";

// Every failure of the compile; what() carries the text shown to the user (UTF-8).
class VoiceBankError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Builds MP3DATA.MPD in the current working directory from the first `entryCount` paths, in
// list order; an empty path is a cleared entry that keeps its index record unused. All data is
// read into memory first and the file is then written in full to a temporary file beside it and
// renamed over it, so that on any error (VoiceBankError) an existing MP3DATA.MPD keeps its
// contents and no partial file is left behind. Paths are in the platform's file name encoding.
void CompileVoiceBank(int entryCount, const std::vector<std::string>& paths);

// The same compile with the same safety, written to `outputPath` instead (its temporary file is
// created beside it, so that the rename stays within one folder).
void CompileVoiceBankAs(const std::string& outputPath, int entryCount,
                        const std::vector<std::string>& paths);

}  // namespace sonpak
