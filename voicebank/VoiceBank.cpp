#include "voicebank/VoiceBank.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "voicebank/FileHandle.h"

namespace sonpak {
namespace {

using Header = std::array<std::uint8_t, kHeaderSize>;

[[noreturn]] void Fail(const char* what, const std::string& path, int error) {
  throw VoiceBankError(std::string(what) + " \"" + path + "\": " + std::strerror(error));
}

// What phase 1 gathers: one length and offset per index position and all data bytes.
struct Gathered {
  std::array<std::int64_t, kMaxEntries> lengths{};
  std::array<std::int64_t, kMaxEntries> offsets{};
  std::vector<std::uint8_t> data;
};

// Reads exactly `count` bytes; a file that ends early (it shrank since its size was taken) or
// fails to read stops the compile.
void ReadExactly(int fd, std::uint8_t* into, std::size_t count, const std::string& path) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = ::read(fd, into + done, count - done);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      Fail("Cannot read file", path, errno);
    }
    if (got == 0) {
      throw VoiceBankError("Cannot read file \"" + path + "\": it ended after " +
                           std::to_string(done) + " of its " + std::to_string(count) + " bytes");
    }
    done += static_cast<std::size_t>(got);
  }
}

// After a file's `size` bytes the file must end. One more byte means it grew since its size was
// taken (another program is still writing it): what was read is not the whole file, and
// storing it would put a cut-off prompt into the voice bank.
void ExpectEnd(int fd, std::int64_t size, const std::string& path) {
  std::uint8_t byte = 0;
  ssize_t got = 0;
  do {
    got = ::read(fd, &byte, 1);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    Fail("Cannot read file", path, errno);
  }
  if (got > 0) {
    throw VoiceBankError("Cannot read file \"" + path + "\": it grew past its " +
                         std::to_string(size) + " bytes while being read");
  }
}

Gathered Gather(int entryCount, const std::vector<std::string>& paths) {
  Gathered gathered;
  // Room for the most data a voice bank holds, taken once: growing the buffer file by file
  // copied and cleared the data gathered so far again and again, and made the compile cost
  // nearly twice its reads and writes.
  gathered.data.reserve(static_cast<std::size_t>(kDataCapacity));
  std::int64_t total = 0;
  for (int k = 0; k < entryCount; ++k) {
    const std::string& path = paths[static_cast<std::size_t>(k)];
    if (path.empty()) {
      continue;  // cleared entry: its record stays unused
    }
    if (path.find('\0') != std::string::npos) {
      Fail("Cannot open file", path, EINVAL);  // would otherwise name a different file
    }
    // Non-blocking so that a path naming a FIFO cannot hang the window; regular files ignore it.
    FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) {
      Fail("Cannot open file", path, errno);
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
      Fail("Cannot open file", path, errno);
    }
    const std::int64_t size = info.st_size;
    if (size > kDataCapacity - total) {
      throw VoiceBankError(kCapacityMessage);
    }
    gathered.lengths[static_cast<std::size_t>(k)] = size;
    if (size >= 1) {
      gathered.offsets[static_cast<std::size_t>(k)] =
          total + static_cast<std::int64_t>(kHeaderSize);
      gathered.data.resize(static_cast<std::size_t>(total + size));
      ReadExactly(file.get(), gathered.data.data() + total, static_cast<std::size_t>(size), path);
      ExpectEnd(file.get(), size, path);
      total += size;
    }
  }
  return gathered;
}

void PutBigEndian24(std::uint8_t* at, std::int64_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 16);
  at[1] = static_cast<std::uint8_t>(value >> 8);
  at[2] = static_cast<std::uint8_t>(value);
}

Header BuildHeader(int entryCount, const Gathered& gathered) {
  Header header;
  header.fill(0xFF);
  std::memcpy(header.data(), kMagic, kMagicLength);
  header[kCountOffset] = static_cast<std::uint8_t>(entryCount);
  for (int k = 0; k < entryCount; ++k) {
    const std::size_t position = static_cast<std::size_t>(k);
    if (gathered.lengths[position] < 1) {
      continue;
    }
    std::uint8_t* record = header.data() + kIndexOffset + position * kIndexRecordSize;
    record[0] = 0x00;
    PutBigEndian24(record + 1, gathered.offsets[position]);
    record[4] = 0x00;
    PutBigEndian24(record + 5, gathered.lengths[position]);
    record[8] = kInUseMarker;
  }
  return header;
}

// The new file while it is being written: created beside the output under a name of its own,
// removed again unless Commit() is reached after it was renamed into place.
class TempOutput {
 public:
  explicit TempOutput(const std::string& output) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      name_ = output + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".tmp";
      const int fd = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        fd_ = fd;
        return;
      }
      if (errno != EEXIST) {
        break;
      }
    }
    Fail("Cannot create file", output, errno);
  }
  ~TempOutput() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    if (!committed_) {
      ::unlink(name_.c_str());
    }
  }
  TempOutput(const TempOutput&) = delete;
  TempOutput& operator=(const TempOutput&) = delete;

  int fd() const { return fd_; }
  const std::string& name() const { return name_; }

  // Closes now and returns close()'s result: a failed close can mean lost data.
  int Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd);
  }
  void Commit() { committed_ = true; }

 private:
  std::string name_;
  int fd_ = -1;
  bool committed_ = false;
};

void WriteAll(int fd, const std::uint8_t* bytes, std::size_t count, const std::string& output) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t put = ::write(fd, bytes + done, count - done);
    if (put < 0) {
      if (errno == EINTR) {
        continue;
      }
      Fail("Cannot write file", output, errno);
    }
    if (put == 0) {
      Fail("Cannot write file", output, ENOSPC);
    }
    done += static_cast<std::size_t>(put);
  }
}

void WriteVoiceBank(const std::string& output, const Header& header,
                    const std::vector<std::uint8_t>& data) {
  // An existing output file must be writable, just as if it were overwritten in place; its
  // permission bits carry over to the new file.
  struct stat existing {};
  bool exists = false;
  {
    FileHandle probe(::open(output.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (probe.get() >= 0) {
      exists = ::fstat(probe.get(), &existing) == 0;
    } else if (errno != ENOENT) {
      Fail("Cannot create file", output, errno);
    }
  }

  TempOutput temp(output);
  if (exists && ::fchmod(temp.fd(), existing.st_mode & 0777) != 0) {
    Fail("Cannot create file", output, errno);
  }
  WriteAll(temp.fd(), header.data(), header.size(), output);
  WriteAll(temp.fd(), data.data(), data.size(), output);
  if (::fsync(temp.fd()) != 0) {
    Fail("Cannot write file", output, errno);
  }
  if (temp.Close() != 0) {
    Fail("Cannot write file", output, errno);
  }
  if (::rename(temp.name().c_str(), output.c_str()) != 0) {
    Fail("Cannot create file", output, errno);
  }
  temp.Commit();
}

}  // namespace

void CompileVoiceBank(int entryCount, const std::vector<std::string>& paths) {
  CompileVoiceBankAs(kVoiceBankFileName, entryCount, paths);
}

void CompileVoiceBankAs(const std::string& outputPath, int entryCount,
                        const std::vector<std::string>& paths) {
  if (outputPath.empty() || outputPath.find('\0') != std::string::npos) {
    Fail("Cannot create file", outputPath, EINVAL);
  }
  if (entryCount < 0 || entryCount > kMaxEntries ||
      paths.size() < static_cast<std::size_t>(entryCount)) {
    throw VoiceBankError("Invalid voice bank list: " + std::to_string(entryCount) + " entries, " +
                         std::to_string(paths.size()) + " paths");
  }
  const Gathered gathered = Gather(entryCount, paths);
  WriteVoiceBank(outputPath, BuildHeader(entryCount, gathered), gathered.data);
}

}  // namespace sonpak
