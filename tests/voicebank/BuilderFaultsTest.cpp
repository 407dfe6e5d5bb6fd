// The voice bank compile under faults of its input files and of the disk. Every case must end
// in a VoiceBankError naming the file and the cause, leave an existing MP3DATA.MPD exactly as
// it was and leave no other file behind.
//
// The test program is linked with --wrap for fstat, write and fsync, so the compile's own calls
// pass through the injectors below: an input can change right after its size was taken, and
// writes to the new voice bank file can fail as on a full disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "voicebank/VoiceBank.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr char kOutput[] = "MP3DATA.MPD";

// What the injectors do; empty functions let every call through.
struct Faults {
  // Runs once the compile has taken the size of a file (any fstat that succeeds).
  std::function<void(const struct stat&)> after_size;
  // Replaces a write to the new voice bank file: returns what write() would, errno set.
  std::function<ssize_t(const void*, std::size_t)> output_write;
  // Replaces fsync of the new voice bank file.
  std::function<int()> output_fsync;
};
Faults faults;

// The compile writes its new file beside MP3DATA.MPD under a name of its own before renaming
// it; any descriptor open on a name that starts so is that file.
bool IsNewOutput(int fd) {
  std::error_code error;
  const fs::path target = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
  return !error && target.filename().string().rfind(std::string(kOutput) + ".", 0) == 0;
}

}  // namespace

extern "C" {
int __real_fstat(int fd, struct stat* info);
ssize_t __real_write(int fd, const void* data, std::size_t count);
int __real_fsync(int fd);

int __wrap_fstat(int fd, struct stat* info) {
  const int result = __real_fstat(fd, info);
  if (result == 0 && faults.after_size) {
    faults.after_size(*info);
  }
  return result;
}

ssize_t __wrap_write(int fd, const void* data, std::size_t count) {
  if (faults.output_write && IsNewOutput(fd)) {
    return faults.output_write(data, count);
  }
  return __real_write(fd, data, count);
}

int __wrap_fsync(int fd) {
  if (faults.output_fsync && IsNewOutput(fd)) {
    return faults.output_fsync();
  }
  return __real_fsync(fd);
}
}  // extern "C"

namespace {

class BuilderFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::current_path();
    std::string pattern = (fs::temp_directory_path() / "voicebank-faults-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
    fs::current_path(scratch_);
    old_ = MakeFile(kOutput, 333, 0x40);
  }
  void TearDown() override {
    faults = {};
    fs::current_path(home_);
    fs::permissions(scratch_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(scratch_);
  }

  static Bytes MakeFile(const std::string& name, std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
      bytes[i] = static_cast<std::uint8_t>(seed + i * 13);
    }
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return bytes;
  }
  static Bytes ReadBytes(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  static std::string CompileError(const std::vector<std::string>& paths) {
    try {
      sonpak::CompileVoiceBank(static_cast<int>(paths.size()), paths);
    } catch (const sonpak::VoiceBankError& error) {
      return error.what();
    }
    return "(the compile succeeded)";
  }
  // The old voice bank file is whole, and nothing but `inputs` lies beside it.
  void ExpectOldFileAlone(std::vector<std::string> inputs) const {
    EXPECT_EQ(ReadBytes(kOutput), old_);
    inputs.push_back(kOutput);
    std::sort(inputs.begin(), inputs.end());
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(scratch_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, inputs);
  }

  fs::path home_;
  fs::path scratch_;
  Bytes old_;
};

void ExpectMentions(const std::string& error, const std::vector<std::string>& parts) {
  for (const std::string& part : parts) {
    EXPECT_NE(error.find(part), std::string::npos) << "\"" << part << "\" not in: " << error;
  }
}

// The inode of a file, to pick its fstat out of all the others.
ino_t InodeOf(const std::string& name) {
  struct stat info {};
  EXPECT_EQ(::stat(name.c_str(), &info), 0);
  return info.st_ino;
}

TEST_F(BuilderFaultsTest, InputThatChangesOnceItsSizeIsTaken) {
  struct Case {
    const char* what;
    std::function<void()> change;  // runs right after the size of one.mp3 is taken
    std::vector<std::string> error;
    std::vector<std::string> left;  // inputs still there afterwards
  };
  const Case cases[] = {
      {"shrinks",
       [] { fs::resize_file("one.mp3", 500); },
       {"one.mp3", "ended after 500 of its 1000"},
       {"one.mp3", "two.mp3"}},
      {"grows",
       [] { std::ofstream("one.mp3", std::ios::binary | std::ios::app) << "more bytes"; },
       {"one.mp3", "grew"},
       {"one.mp3", "two.mp3"}},
      {"the next one vanishes",
       [] { fs::remove("two.mp3"); },
       {"two.mp3", std::strerror(ENOENT)},
       {"one.mp3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    old_ = MakeFile(kOutput, 333, 0x40);
    MakeFile("one.mp3", 1000, 1);
    MakeFile("two.mp3", 400, 2);
    const ino_t one = InodeOf("one.mp3");
    bool changed = false;
    faults.after_size = [&](const struct stat& info) {
      if (info.st_ino == one && !changed) {
        changed = true;
        c.change();
      }
    };
    const std::string error = CompileError({"one.mp3", "two.mp3"});
    faults = {};
    EXPECT_TRUE(changed);
    ExpectMentions(error, c.error);
    ExpectOldFileAlone(c.left);
    for (const std::string& name : c.left) {
      fs::remove(name);
    }
  }
}

TEST_F(BuilderFaultsTest, FullDisk) {
  MakeFile("one.mp3", 6000, 1);
  struct Case {
    const char* what;
    Faults faults;
    int cause;
  };
  // How many bytes of the new file a "disk" takes before it is full.
  std::size_t room = 0;
  const auto fill_up = [&room](const void*, std::size_t count) -> ssize_t {
    if (room == 0) {
      errno = ENOSPC;
      return -1;
    }
    const std::size_t taken = std::min(room, count);  // a short write first
    room -= taken;
    return static_cast<ssize_t>(taken);
  };
  Faults full;
  full.output_write = fill_up;
  const auto failing_fsync = [](int cause) {
    Faults f;
    f.output_fsync = [cause] {
      errno = cause;
      return -1;
    };
    return f;
  };
  const Case cases[] = {
      {"full before the first byte", full, ENOSPC},
      {"full inside the data", full, ENOSPC},
      {"full when the data is flushed", failing_fsync(ENOSPC), ENOSPC},
      {"an I/O error on flushing", failing_fsync(EIO), EIO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    room = std::string(c.what) == "full inside the data" ? 4096 + 2500 : 0;
    faults = c.faults;
    const std::string error = CompileError({"one.mp3"});
    faults = {};
    ExpectMentions(error, {kOutput, std::strerror(c.cause)});
    ExpectOldFileAlone({"one.mp3"});
  }
}

// Runs the compile in a child process that has given up root's right to ignore permission
// bits. Returns the error text, "(the compile succeeded)", or "" when the child could not drop
// its rights.
std::string CompileUnprivileged(const std::vector<std::string>& paths) {
  int ends[2];
  if (::pipe(ends) != 0) {
    return "";
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ends[0]);
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(3);
    }
    const std::string text = [&] {
      try {
        sonpak::CompileVoiceBank(static_cast<int>(paths.size()), paths);
      } catch (const sonpak::VoiceBankError& error) {
        return std::string(error.what());
      }
      return std::string("(the compile succeeded)");
    }();
    const bool sent =
        __real_write(ends[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::_exit(sent ? 0 : 2);
  }
  ::close(ends[1]);
  std::string text;
  char chunk[256];
  for (ssize_t got; (got = ::read(ends[0], chunk, sizeof chunk)) > 0;) {
    text.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(ends[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return "";
  }
  return text;
}

TEST_F(BuilderFaultsTest, PermissionsThatForbidTheCompile) {
  struct Case {
    const char* what;
    mode_t input, output, folder;
    std::string named;  // the file the error names
  };
  const Case cases[] = {
      {"unreadable input", 0000, 0644, 0777, "one.mp3"},
      {"read-only folder", 0644, 0666, 0555, kOutput},
      {"read-only MP3DATA.MPD", 0644, 0444, 0777, kOutput},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MakeFile("one.mp3", 100, 1);
    ASSERT_EQ(::chmod("one.mp3", c.input), 0);
    ASSERT_EQ(::chmod(kOutput, c.output), 0);
    ASSERT_EQ(::chmod(scratch_.c_str(), c.folder), 0);
    const std::string error = CompileUnprivileged({"one.mp3"});
    ASSERT_EQ(::chmod(scratch_.c_str(), 0700), 0);
    if (error.empty()) {
      GTEST_SKIP() << "cannot run as an unprivileged user here";
    }
    ExpectMentions(error, {c.named, std::strerror(EACCES)});
    ExpectOldFileAlone({"one.mp3"});
    fs::remove("one.mp3");
  }
}

}  // namespace
