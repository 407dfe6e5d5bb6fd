// What an entry's bytes are, as libmpg123 reads them: MPEG audio frames, or an ID3v2 tag and
// then frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace sonpak {

struct Mp3Details {
  std::string version;       // "1", "2" or "2.5" (MPEG version)
  int layer = 0;             // 1..3
  int bitrate = 0;           // kbit/s: the frames' rate, or the average for variable rates
  bool variable = false;     // VBR or ABR
  long sampleRate = 0;       // Hz
  int channels = 0;          // 1 or 2
  std::string mode;          // "mono", "stereo", "joint stereo", "dual channel"
  std::int64_t samples = 0;  // per channel, after the encoder's delay and padding are removed
  double seconds = 0;
};

// Reads `size` bytes from memory; nothing is decoded to sound. std::nullopt when the bytes do not
// start with an ID3v2 tag or an MPEG audio frame, or no frame follows.
std::optional<Mp3Details> ProbeMp3(const std::uint8_t* data, std::size_t size);

}  // namespace sonpak
