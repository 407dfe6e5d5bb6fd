// The voice bank compile on real files in a scratch folder that is the working directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Packets.h"
#include "voicebank/VoiceBank.h"

namespace {

namespace fs = std::filesystem;
using sonpak::CompileVoiceBank;
using sonpak::VoiceBankError;
using velkor::test::Hex;
using Bytes = std::vector<std::uint8_t>;

constexpr char kOutput[] = "MP3DATA.MPD";
const Bytes kUnused(16, 0xFF);

Bytes Slice(const Bytes& file, std::size_t from, std::size_t count) {
  return {file.begin() + static_cast<std::ptrdiff_t>(from),
          file.begin() + static_cast<std::ptrdiff_t>(from + count)};
}

// Index record k (entry k + 1).
Bytes Record(const Bytes& file, std::size_t k) {
  return Slice(file, 32 + 16 * k, 16);
}

void ExpectUnusedFrom(const Bytes& file, std::size_t first) {
  for (std::size_t k = first; k < 254; ++k) {
    ASSERT_EQ(Record(file, k), kUnused) << "record " << k;
  }
}

class VoiceBankTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::current_path();
    std::string pattern = (fs::temp_directory_path() / "voicebank-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
    fs::current_path(scratch_);
  }
  void TearDown() override {
    fs::current_path(home_);
    fs::remove_all(scratch_);
  }

  // A file of `size` bytes whose contents differ from every other file made with another seed.
  static Bytes MakeFile(const std::string& name, std::size_t size, std::uint8_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
      bytes[i] = static_cast<std::uint8_t>(i * 7 + seed + (i >> 8));
    }
    WriteBytes(name, bytes);
    return bytes;
  }
  static void WriteBytes(const std::string& name, const Bytes& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good());
  }
  static Bytes ReadBytes(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  static void Compile(const std::vector<std::string>& paths) {
    CompileVoiceBank(static_cast<int>(paths.size()), paths);
  }
  // Every name in the scratch folder, to show that no temporary file was left behind.
  std::vector<std::string> FolderNames() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(scratch_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // Runs the compile expecting an error; returns its text.
  static std::string CompileError(const std::vector<std::string>& paths) {
    try {
      Compile(paths);
    } catch (const VoiceBankError& error) {
      return error.what();
    }
    ADD_FAILURE() << "the compile succeeded";
    return {};
  }

  fs::path home_;
  fs::path scratch_;
};

TEST_F(VoiceBankTest, ListsWithoutDataGiveTheBareHeader) {
  // Empty list, one cleared entry, a full list of cleared entries: the count byte counts them.
  for (const std::size_t count : {0u, 1u, 254u}) {
    SCOPED_TRACE(count);
    Compile(std::vector<std::string>(count));
    Bytes expected = Hex("4D 50 33 44 41 54 41 5F 56 45 52 30 30  FF FF FF");
    expected.push_back(static_cast<std::uint8_t>(count));
    expected.resize(4096, 0xFF);
    EXPECT_EQ(ReadBytes(kOutput), expected);
  }
}

TEST_F(VoiceBankTest, TwoEntriesBackToBack) {
  const Bytes first = MakeFile("one.mp3", 1000, 1);
  const Bytes second = MakeFile("two.mp3", 500, 2);
  Compile({"one.mp3", "two.mp3"});

  const Bytes file = ReadBytes(kOutput);
  ASSERT_EQ(file.size(), 5596u);
  EXPECT_EQ(file[16], 0x02);
  EXPECT_EQ(Record(file, 0), Hex("00 00 10 00 00 00 03 E8 A4 FF FF FF FF FF FF FF"));
  EXPECT_EQ(Record(file, 1), Hex("00 00 13 E8 00 00 01 F4 A4 FF FF FF FF FF FF FF"));
  ExpectUnusedFrom(file, 2);
  EXPECT_EQ(Slice(file, 4096, 1000), first);
  EXPECT_EQ(Slice(file, 5096, 500), second);
}

TEST_F(VoiceBankTest, EntriesWithoutDataKeepTheirPositionAndCount) {
  // A cleared entry and an empty file both leave their record unused and take no data room.
  for (const bool cleared : {true, false}) {
    SCOPED_TRACE(cleared ? "cleared" : "empty file");
    const Bytes first = MakeFile("one.mp3", 1000, 1);
    MakeFile("empty.mp3", 0, 0);
    const Bytes third = MakeFile("three.mp3", 500, 3);
    Compile({"one.mp3", cleared ? "" : "empty.mp3", "three.mp3"});

    const Bytes file = ReadBytes(kOutput);
    ASSERT_EQ(file.size(), 5596u);
    EXPECT_EQ(file[16], 0x03);
    EXPECT_EQ(Record(file, 0), Hex("00 00 10 00 00 00 03 E8 A4 FF FF FF FF FF FF FF"));
    EXPECT_EQ(Record(file, 1), kUnused);
    EXPECT_EQ(Record(file, 2), Hex("00 00 13 E8 00 00 01 F4 A4 FF FF FF FF FF FF FF"));
    ExpectUnusedFrom(file, 3);
    EXPECT_EQ(Slice(file, 4096, 1000), first);
    EXPECT_EQ(Slice(file, 5096, 500), third);
  }
}

TEST_F(VoiceBankTest, SameFileTwiceIsStoredTwice) {
  const Bytes bytes = MakeFile("same.mp3", 300, 9);
  Compile({"same.mp3", fs::absolute("same.mp3").string()});

  const Bytes file = ReadBytes(kOutput);
  ASSERT_EQ(file.size(), 4096u + 600u);
  EXPECT_EQ(Record(file, 0), Hex("00 00 10 00 00 00 01 2C A4 FF FF FF FF FF FF FF"));
  EXPECT_EQ(Record(file, 1), Hex("00 00 11 2C 00 00 01 2C A4 FF FF FF FF FF FF FF"));
  EXPECT_EQ(Slice(file, 4096, 300), bytes);
  EXPECT_EQ(Slice(file, 4396, 300), bytes);
}

TEST_F(VoiceBankTest, DataOfExactlyTheCapacityIsAccepted) {
  const Bytes big = MakeFile("big.mp3", 4096000 - 1, 4);
  const Bytes last = MakeFile("last.mp3", 1, 5);
  MakeFile("empty.mp3", 0, 0);
  Compile({"big.mp3", "", "last.mp3", "empty.mp3"});

  const Bytes file = ReadBytes(kOutput);
  ASSERT_EQ(file.size(), 4100096u);
  EXPECT_EQ(file[16], 0x04);
  EXPECT_EQ(Record(file, 0), Hex("00 00 10 00 00 3E 7F FF A4 FF FF FF FF FF FF FF"));
  EXPECT_EQ(Record(file, 2), Hex("00 3E 8F FF 00 00 00 01 A4 FF FF FF FF FF FF FF"));
  EXPECT_EQ(Slice(file, 4096, big.size()), big);
  EXPECT_EQ(file.back(), last.front());
}

TEST_F(VoiceBankTest, OneByteOverCapacityIsRefusedAndTheOldFileKept) {
  MakeFile("big.mp3", 4096000, 4);
  MakeFile("one.mp3", 1, 5);
  MakeFile("empty.mp3", 0, 0);
  const Bytes old = MakeFile(kOutput, 77, 6);
  const struct {
    const char* what;
    std::vector<std::string> paths;
  } cases[] = {
      {"one file", {"one.mp3", "big.mp3"}},
      {"later entries without data", {"big.mp3", "one.mp3", "", "empty.mp3"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(CompileError(c.paths), "文件大小超过容量");
    EXPECT_EQ(ReadBytes(kOutput), old);
  }
  MakeFile("over.mp3", 4096001, 7);
  EXPECT_EQ(CompileError({"over.mp3"}), "文件大小超过容量");
  EXPECT_EQ(ReadBytes(kOutput), old);
  EXPECT_EQ(FolderNames(),
            (std::vector<std::string>{kOutput, "big.mp3", "empty.mp3", "one.mp3", "over.mp3"}));
}

TEST_F(VoiceBankTest, ReplacesAnExistingFileKeepingItsPermissions) {
  MakeFile(kOutput, 9000, 1);
  ASSERT_EQ(::chmod(kOutput, 0640), 0);
  MakeFile("one.mp3", 10, 2);
  Compile({"one.mp3"});

  EXPECT_EQ(ReadBytes(kOutput).size(), 4106u);
  struct stat info {};
  ASSERT_EQ(::stat(kOutput, &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
  EXPECT_EQ(FolderNames(), (std::vector<std::string>{kOutput, "one.mp3"}));
}

TEST_F(VoiceBankTest, InputErrorsWriteNothing) {
  MakeFile("one.mp3", 10, 2);
  ASSERT_EQ(::mkdir("folder.mp3", 0755), 0);
  const Bytes old = MakeFile(kOutput, 50, 3);
  const struct {
    const char* path;
    std::string reason;
  } cases[] = {
      {"missing.mp3", std::strerror(ENOENT)},
      // A directory opens for reading but yields no bytes of its reported size.
      {"folder.mp3", std::strerror(EISDIR)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string error = CompileError({"one.mp3", c.path});
    EXPECT_NE(error.find(c.path), std::string::npos) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    EXPECT_EQ(ReadBytes(kOutput), old);
  }
  EXPECT_EQ(FolderNames(), (std::vector<std::string>{kOutput, "folder.mp3", "one.mp3"}));
}

TEST_F(VoiceBankTest, FileYieldingFewerBytesThanItsSizeStopsTheCompile) {
  // Kernel attribute files report a size of a whole page and yield a few bytes.
  const char* candidates[] = {"/sys/kernel/mm/transparent_hugepage/enabled",
                              "/sys/kernel/profiling", "/sys/power/state"};
  std::string shortFile;
  for (const char* candidate : candidates) {
    struct stat info {};
    if (::stat(candidate, &info) == 0 && info.st_size == 4096 && ::access(candidate, R_OK) == 0) {
      shortFile = candidate;
      break;
    }
  }
  if (shortFile.empty()) {
    GTEST_SKIP() << "no kernel attribute file to read here";
  }
  const std::string error = CompileError({shortFile});
  EXPECT_NE(error.find("of its 4096 bytes"), std::string::npos) << error;
  EXPECT_TRUE(FolderNames().empty());
}

// Runs the compile in a child process, after `prepare` has set the child up. Returns the
// child's exit status: 0 when the compile raised an error (its text in `message`), 1 when it
// succeeded, 3 when `prepare` failed.
int CompileInChild(const std::vector<std::string>& paths, bool (*prepare)(), std::string& message) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) {
    return -1;
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeEnds[0]);
    if (!prepare()) {
      ::_exit(3);
    }
    std::string text;
    int status = 1;
    try {
      CompileVoiceBank(static_cast<int>(paths.size()), paths);
    } catch (const VoiceBankError& error) {
      text = error.what();
      status = 0;
    }
    const ssize_t written = ::write(pipeEnds[1], text.data(), text.size());
    ::_exit(written == static_cast<ssize_t>(text.size()) ? status : 2);
  }
  ::close(pipeEnds[1]);
  message.clear();
  char chunk[256];
  for (ssize_t got; (got = ::read(pipeEnds[0], chunk, sizeof chunk)) > 0;) {
    message.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(pipeEnds[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

// Files may not grow past 5000 bytes, and passing the limit fails the write instead of
// killing the process: a disk that fills up part-way through the file.
bool LimitFileSize() {
  ::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{5000, 5000};
  return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

// Permission bits bind only a user other than root.
bool BecomeUnprivileged() {
  if (::geteuid() != 0) {
    return true;
  }
  return ::setgid(65534) == 0 && ::setuid(65534) == 0;
}

TEST_F(VoiceBankTest, FullDiskLeavesTheOldFileAndNoTemporaryFile) {
  MakeFile("one.mp3", 1000, 1);
  const Bytes old = MakeFile(kOutput, 20, 2);

  std::string message;
  ASSERT_EQ(CompileInChild({"one.mp3"}, LimitFileSize, message), 0) << message;
  EXPECT_NE(message.find(kOutput), std::string::npos) << message;
  EXPECT_NE(message.find(std::strerror(EFBIG)), std::string::npos) << message;
  EXPECT_EQ(ReadBytes(kOutput), old);
  EXPECT_EQ(FolderNames(), (std::vector<std::string>{kOutput, "one.mp3"}));
}

TEST_F(VoiceBankTest, OutputThatCannotBeOpenedForWritingStopsTheCompile) {
  MakeFile("one.mp3", 10, 2);

  // A directory in its place.
  ASSERT_EQ(::mkdir(kOutput, 0755), 0);
  std::string error = CompileError({"one.mp3"});
  EXPECT_NE(error.find(kOutput), std::string::npos) << error;
  EXPECT_NE(error.find(std::strerror(EISDIR)), std::string::npos) << error;
  EXPECT_TRUE(fs::is_directory(kOutput));
  EXPECT_EQ(FolderNames(), (std::vector<std::string>{kOutput, "one.mp3"}));
  ASSERT_EQ(::rmdir(kOutput), 0);

  // A read-only file in a folder where anyone may create files (and so replace it by renaming).
  const Bytes old = MakeFile(kOutput, 30, 3);
  ASSERT_EQ(::chmod(kOutput, 0444), 0);
  ASSERT_EQ(::chmod(scratch_.c_str(), 0777), 0);
  const int status = CompileInChild({"one.mp3"}, BecomeUnprivileged, error);
  if (status == 3) {
    GTEST_SKIP() << "cannot run as an unprivileged user here";
  }
  ASSERT_EQ(status, 0) << error;
  EXPECT_NE(error.find(kOutput), std::string::npos) << error;
  EXPECT_NE(error.find(std::strerror(EACCES)), std::string::npos) << error;
  EXPECT_EQ(ReadBytes(kOutput), old);
  EXPECT_EQ(FolderNames(), (std::vector<std::string>{kOutput, "one.mp3"}));
}

TEST_F(VoiceBankTest, InconsistentListIsRefused) {
  EXPECT_THROW(CompileVoiceBank(-1, {}), VoiceBankError);
  EXPECT_THROW(CompileVoiceBank(255, std::vector<std::string>(255)), VoiceBankError);
  EXPECT_THROW(CompileVoiceBank(2, {""}), VoiceBankError);
  EXPECT_TRUE(FolderNames().empty());
}

}  // namespace
