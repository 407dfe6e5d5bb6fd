#include "voicebank/Mp3Probe.h"

#include <mpg123.h>
#include <sys/types.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace sonpak {
namespace {

// The entry's bytes as the stream libmpg123 reads through its reader callbacks.
struct Memory {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t position;
};

ssize_t ReadMemory(void* handle, void* into, std::size_t count) {
  auto* memory = static_cast<Memory*>(handle);
  const std::size_t n = std::min(count, memory->size - memory->position);
  std::memcpy(into, memory->data + memory->position, n);
  memory->position += n;
  return static_cast<ssize_t>(n);
}

off_t SeekMemory(void* handle, off_t offset, int whence) {
  auto* memory = static_cast<Memory*>(handle);
  off_t base = 0;
  if (whence == SEEK_CUR) {
    base = static_cast<off_t>(memory->position);
  } else if (whence == SEEK_END) {
    base = static_cast<off_t>(memory->size);
  } else if (whence != SEEK_SET) {
    return -1;
  }
  const off_t target = base + offset;
  if (target < 0 || target > static_cast<off_t>(memory->size)) {
    return -1;
  }
  memory->position = static_cast<std::size_t>(target);
  return target;
}

struct HandleDeleter {
  void operator()(mpg123_handle* handle) const {
    mpg123_close(handle);
    mpg123_delete(handle);
  }
};

std::string VersionText(int version) {
  switch (version) {
    case MPG123_1_0:
      return "1";
    case MPG123_2_0:
      return "2";
    case MPG123_2_5:
      return "2.5";
  }
  return "?";
}

std::string ModeText(int mode) {
  switch (mode) {
    case MPG123_M_STEREO:
      return "stereo";
    case MPG123_M_JOINT:
      return "joint stereo";
    case MPG123_M_DUAL:
      return "dual channel";
    case MPG123_M_MONO:
      return "mono";
  }
  return "?";
}

// The size of an ID3v2 tag at the start, header and footer included; 0 when there is none.
std::size_t Id3v2Size(const std::uint8_t* data, std::size_t size) {
  if (size < 10 || std::memcmp(data, "ID3", 3) != 0) {
    return 0;
  }
  const std::size_t body = std::size_t{data[6] & 0x7Fu} << 21 | std::size_t{data[7] & 0x7Fu} << 14 |
                           std::size_t{data[8] & 0x7Fu} << 7 | std::size_t{data[9] & 0x7Fu};
  const bool footer = (data[5] & 0x10) != 0;
  return 10 + body + (footer ? 10 : 0);
}

}  // namespace

std::optional<Mp3Details> ProbeMp3(const std::uint8_t* data, std::size_t size) {
  // libmpg123 would also find frames further in, behind bytes that are not MP3: the first frame
  // must open the data, or follow an ID3v2 tag at once.
  const std::size_t first = Id3v2Size(data, size);
  if (first + 4 > size || data[first] != 0xFF || (data[first + 1] & 0xE0) != 0xE0) {
    return std::nullopt;
  }
  int error = MPG123_OK;
  std::unique_ptr<mpg123_handle, HandleDeleter> handle(mpg123_new(nullptr, &error));
  if (!handle) {
    return std::nullopt;
  }
  mpg123_param(handle.get(), MPG123_ADD_FLAGS, MPG123_QUIET, 0);
  Memory memory{data, size, 0};
  if (mpg123_replace_reader_handle(handle.get(), ReadMemory, SeekMemory, nullptr) != MPG123_OK ||
      mpg123_open_handle(handle.get(), &memory) != MPG123_OK) {
    return std::nullopt;
  }
  long rate = 0;
  int channels = 0;
  int encoding = 0;
  if (mpg123_getformat(handle.get(), &rate, &channels, &encoding) != MPG123_OK) {
    return std::nullopt;
  }
  mpg123_frameinfo info{};
  if (mpg123_info(handle.get(), &info) != MPG123_OK) {
    return std::nullopt;
  }
  mpg123_scan(handle.get());
  const off_t samples = mpg123_length(handle.get());

  Mp3Details details;
  details.version = VersionText(info.version);
  details.layer = info.layer;
  details.sampleRate = info.rate;
  details.channels = channels;
  details.mode = ModeText(info.mode);
  details.samples = samples > 0 ? static_cast<std::int64_t>(samples) : 0;
  details.seconds = info.rate > 0 ? static_cast<double>(details.samples) / info.rate : 0;
  details.variable = info.vbr != MPG123_CBR;
  details.bitrate = info.bitrate;
  if (details.variable && details.seconds > 0) {
    details.bitrate =
        static_cast<int>(static_cast<double>(size) * 8 / details.seconds / 1000 + 0.5);
  }
  return details;
}

}  // namespace sonpak
