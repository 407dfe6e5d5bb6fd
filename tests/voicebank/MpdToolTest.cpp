// velkor-mpd's command line run in-process, on files in a scratch folder that is the working
// directory: built banks, damaged copies of them, and real MP3 files that lame encodes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "voicebank/MpdTool.h"
#include "voicebank/VoiceBank.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome Mpd(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  const int status = sonpak::mpd::RunMpd(args, out, err);
  return {status, out.str(), err.str()};
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

Bytes Filled(std::size_t size, std::uint8_t first) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(first + i * 7);
  }
  return bytes;
}

// 16-bit PCM of a sine tone, as a WAV file for lame.
void WriteTone(const fs::path& path, int rate, int channels, double seconds) {
  const auto frames = static_cast<std::uint32_t>(rate * seconds);
  const std::uint32_t dataSize = frames * static_cast<std::uint32_t>(channels) * 2;
  Bytes wav;
  auto text = [&](const char* t) { wav.insert(wav.end(), t, t + 4); };
  auto le = [&](std::uint32_t v, int n) {
    for (int i = 0; i < n; ++i) {
      wav.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
  };
  text("RIFF"), le(36 + dataSize, 4), text("WAVE"), text("fmt "), le(16, 4), le(1, 2);
  le(static_cast<std::uint32_t>(channels), 2), le(static_cast<std::uint32_t>(rate), 4);
  le(static_cast<std::uint32_t>(rate * channels * 2), 4),
      le(static_cast<std::uint32_t>(channels * 2), 2);
  le(16, 2), text("data"), le(dataSize, 4);
  for (std::uint32_t i = 0; i < frames; ++i) {
    const auto sample = static_cast<std::int16_t>(8000 * std::sin(i * 2 * M_PI * 440 / rate));
    for (int c = 0; c < channels; ++c) {
      le(static_cast<std::uint16_t>(sample), 2);
    }
  }
  WriteFile(path, wav);
}

class MpdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::current_path();
    std::string pattern = (fs::temp_directory_path() / "velkor-mpd-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
    fs::current_path(scratch_);
  }
  void TearDown() override {
    fs::current_path(home_);
    fs::remove_all(scratch_);
  }

  // Entries of 1000 bytes, cleared, 500 bytes: the layout's own example, as bank.mpd.
  Bytes SoundBank() {
    WriteFile("a.bin", Filled(1000, 1));
    WriteFile("b.bin", Filled(500, 2));
    WriteText("bank.list", "a.bin\n\nb.bin\n");
    EXPECT_EQ(Mpd({"build", "bank.list", "-o", "bank.mpd"}).status, 0);
    return ReadFile("bank.mpd");
  }

  fs::path home_;
  fs::path scratch_;
};

TEST_F(MpdTest, BuildListsVerifiesAndExtractsByteIdentical) {
  fs::create_directory("in");
  WriteFile("in/one.mp3", Filled(1000, 1));
  WriteFile("in/two.mp3", Filled(500, 2));
  WriteFile("in/empty.mp3", {});
  // Relative paths are taken from the list's folder; CRLF line ends are accepted.
  WriteText("in/list.txt", "# greeting\r\none.mp3\r\n\r\n" + (scratch_ / "in/two.mp3").string() +
                               "\r\nempty.mp3\r\n");

  const Outcome built = Mpd({"build", "in/list.txt"});
  ASSERT_EQ(built.status, 0) << built.err;
  const Bytes bank = ReadFile(sonpak::kVoiceBankFileName);
  ASSERT_EQ(bank.size(), 5596u);
  EXPECT_EQ(bank[16], 4);  // the comment is no entry, the cleared and the empty entry are

  const Outcome list = Mpd({"list", "MP3DATA.MPD"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("4 entries, 2 with data"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("    1     4096     1000  not MP3"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("    3     5096      500  not MP3"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("bytes used: 1500 of 4096000 (0.04%)"), std::string::npos) << list.out;

  const Outcome verify = Mpd({"verify", "MP3DATA.MPD"});
  EXPECT_EQ(verify.status, 0) << verify.out;
  EXPECT_NE(verify.out.find("warning: record 1: not MP3"), std::string::npos) << verify.out;

  ASSERT_EQ(Mpd({"extract", "MP3DATA.MPD", "out"}).status, 0);
  EXPECT_EQ(ReadFile("out/001.mp3"), ReadFile("in/one.mp3"));
  EXPECT_EQ(ReadFile("out/003.mp3"), ReadFile("in/two.mp3"));
  EXPECT_FALSE(fs::exists("out/002.mp3"));
  EXPECT_FALSE(fs::exists("out/004.mp3"));
  EXPECT_EQ(std::distance(fs::directory_iterator("out"), fs::directory_iterator()), 2);

  // A second extraction refuses to overwrite and touches nothing, unless --force.
  WriteFile("out/003.mp3", {9});
  const Outcome again = Mpd({"extract", "MP3DATA.MPD", "out"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("out/001.mp3"), std::string::npos) << again.err;
  EXPECT_EQ(ReadFile("out/003.mp3"), Bytes{9});
  ASSERT_EQ(Mpd({"extract", "MP3DATA.MPD", "out", "--force"}).status, 0);
  EXPECT_EQ(ReadFile("out/003.mp3"), ReadFile("in/two.mp3"));
}

TEST_F(MpdTest, FailedExtractionRemovesWhatItWrote) {
  SoundBank();
  // Entry 1 is written first; entry 3's name is taken by a folder, which --force cannot replace.
  fs::create_directories("out/003.mp3");
  const Outcome run = Mpd({"extract", "bank.mpd", "out", "--force"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Cannot create file \"out/003.mp3\""), std::string::npos) << run.err;
  EXPECT_EQ(std::distance(fs::directory_iterator("out"), fs::directory_iterator()), 1);
  EXPECT_TRUE(fs::is_directory("out/003.mp3"));

  // A folder the extraction made itself goes too, one that was there stays: the files may be at
  // most 700 bytes, so entry 1 (1000 bytes) cannot be written.
  fs::create_directory("new");
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto handler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 700;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const Outcome failed = Mpd({"extract", "bank.mpd", "new/sub"});
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, handler);
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("Cannot write file \"new/sub/001.mp3\""), std::string::npos)
      << failed.err;
  EXPECT_TRUE(fs::is_directory("new"));
  EXPECT_FALSE(fs::exists("new/sub"));
}

// A list from a pipe (`build <(ls *.mp3)`) names its files from the working directory.
TEST_F(MpdTest, BuildReadsAListFromAPipe) {
  fs::create_directory("clips");
  WriteFile("clips/a.mp3", Filled(300, 5));
  ASSERT_EQ(::mkfifo("pipe", 0600), 0);
  // The writer waits at most 5 s for the tool to open the pipe, so a tool that never does cannot
  // hang the test.
  std::thread writer([] {
    for (int attempt = 0; attempt < 500; ++attempt) {
      const int fd = ::open("pipe", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) {
        const std::string list = "clips/a.mp3\n\n";
        EXPECT_EQ(::write(fd, list.data(), list.size()), static_cast<ssize_t>(list.size()));
        ::close(fd);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "the tool never opened the pipe";
  });
  const Outcome run = Mpd({"build", "pipe"});
  writer.join();
  ASSERT_EQ(run.status, 0) << run.err;
  const Bytes bank = ReadFile(sonpak::kVoiceBankFileName);
  EXPECT_EQ(bank.size(), 4396u);
  EXPECT_EQ(bank[16], 2);
}

TEST_F(MpdTest, WindowCompileAndBuildWriteTheSameBytes) {
  WriteFile("a.mp3", Filled(1000, 3));
  WriteFile("b.mp3", Filled(777, 4));
  // What the window hands over: the count and the path column, a cleared entry as "".
  sonpak::CompileVoiceBank(4, {"a.mp3", "", "b.mp3", "a.mp3"});
  WriteText("list", "a.mp3\n\nb.mp3\na.mp3\n");
  ASSERT_EQ(Mpd({"build", "list", "-o", "cli.mpd"}).status, 0);
  EXPECT_EQ(ReadFile("cli.mpd"), ReadFile(sonpak::kVoiceBankFileName));

  sonpak::CompileVoiceBank(0, {});
  WriteText("empty", "# nothing yet\n");
  ASSERT_EQ(Mpd({"build", "empty", "-o", "cli.mpd"}).status, 0);
  EXPECT_EQ(ReadFile("cli.mpd"), ReadFile(sonpak::kVoiceBankFileName));
}

TEST_F(MpdTest, ListReportsWhatLameEncoded) {
  struct Clip {
    const char* name;
    int rate;
    int channels;
    double seconds;
    const char* lame;
    int bitrate;
    const char* version;
  };
  const Clip clips[] = {
      {"mono22", 22050, 1, 0.5, "-b 64 -m m", 64, "2"},
      {"stereo44", 44100, 2, 1.0, "-b 128 -m j", 128, "1"},
      {"mono44", 44100, 1, 0.75, "-b 96 -m m --add-id3v2 --tt Hello", 96, "1"},
  };
  std::string list;
  for (const Clip& clip : clips) {
    WriteTone(std::string(clip.name) + ".wav", clip.rate, clip.channels, clip.seconds);
    const std::string command =
        std::string("lame --quiet ") + clip.lame + " " + clip.name + ".wav " + clip.name + ".mp3";
    ASSERT_EQ(std::system(command.c_str()), 0) << command << " (is lame installed?)";
    list += std::string(clip.name) + ".mp3\n";
  }
  WriteText("list", list);
  ASSERT_EQ(Mpd({"build", "list"}).status, 0);
  EXPECT_EQ(Mpd({"verify", "MP3DATA.MPD"}).out.find("warning"), std::string::npos);

  const Outcome run = Mpd({"list", "MP3DATA.MPD", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const nlohmann::json report = nlohmann::json::parse(run.out);
  ASSERT_EQ(report["entries"].size(), 3u);
  std::uint64_t used = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    const Clip& clip = clips[i];
    const nlohmann::json& entry = report["entries"][i];
    SCOPED_TRACE(clip.name);
    EXPECT_EQ(entry["number"], i + 1);
    EXPECT_EQ(entry["length"], fs::file_size(std::string(clip.name) + ".mp3"));
    const nlohmann::json& mp3 = entry["mp3"];
    ASSERT_TRUE(mp3.is_object()) << entry;
    EXPECT_EQ(mp3["version"], clip.version);
    EXPECT_EQ(mp3["layer"], 3);
    EXPECT_EQ(mp3["bitrate_kbps"], clip.bitrate);
    EXPECT_EQ(mp3["variable_bitrate"], false);
    EXPECT_EQ(mp3["sample_rate"], clip.rate);
    EXPECT_EQ(mp3["channels"], clip.channels);
    // lame's Info tag gives the exact length; allow one frame of slack.
    EXPECT_NEAR(mp3["duration_s"].get<double>(), clip.seconds, 0.03);
    used += entry["length"].get<std::uint64_t>();
  }
  EXPECT_EQ(report["entry_count"], 3);
  EXPECT_EQ(report["bytes_used"], used);
  EXPECT_EQ(report["capacity"], 4096000);
  EXPECT_NEAR(report["percent_used"].get<double>(), used * 100.0 / 4096000, 1e-9);

  const Outcome text = Mpd({"list", "MP3DATA.MPD"});
  EXPECT_NE(text.out.find("MPEG 2 layer III, 64 kbit/s, 22050 Hz, mono, 0.500 s"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("MPEG 1 layer III, 128 kbit/s, 44100 Hz, joint stereo, 1.000 s"),
            std::string::npos)
      << text.out;
}

// Every structural fault, each on its own damaged copy of a sound bank (entries 1000, cleared,
// 500): verify prints it and exits 1, and list and extract refuse the file.
TEST_F(MpdTest, VerifyFindsEveryFault) {
  const Bytes sound = SoundBank();
  ASSERT_EQ(Mpd({"verify", "bank.mpd"}).status, 0);
  auto set24 = [](Bytes& f, std::size_t at, std::uint32_t v) {
    f[at] = static_cast<std::uint8_t>(v >> 16), f[at + 1] = static_cast<std::uint8_t>(v >> 8);
    f[at + 2] = static_cast<std::uint8_t>(v);
  };
  constexpr std::size_t r1 = 32, r2 = 48, r3 = 64;  // records 1..3
  struct Damage {
    const char* name;
    std::function<void(Bytes&)> apply;
    std::vector<const char*> faults;
  };
  const std::vector<Damage> damages = {
      {"magic", [](Bytes& f) { f[4] = 'x'; }, {"bytes 0..12 are not the magic \"MP3DATA_VER00\""}},
      {"magic fill", [](Bytes& f) { f[14] = 0; }, {"bytes 13..15 are not FF FF FF"}},
      {"count above 254",
       [](Bytes& f) { f[16] = 255; },
       {"the entry count (byte 16) is 255, above 254"}},
      {"count fill", [](Bytes& f) { f[31] = 0; }, {"bytes 17..31 are not all FF"}},
      {"marker", [](Bytes& f) { f[r1 + 8] = 0xA5; }, {"record 1: neither in use"}},
      {"byte 0", [](Bytes& f) { f[r1] = 1; }, {"record 1: neither in use"}},
      {"byte 4", [](Bytes& f) { f[r3 + 4] = 1; }, {"record 3: neither in use"}},
      {"unused record", [](Bytes& f) { f[r2 + 15] = 0; }, {"record 2: neither in use"}},
      {"record fill", [](Bytes& f) { f[r3 + 12] = 0; }, {"record 3: bytes 9..15 are not all FF"}},
      {"beyond count", [](Bytes& f) { f[16] = 2; }, {"record 3: in use beyond the entry count 2"}},
      {"length 0",
       [&](Bytes& f) { set24(f, r3 + 5, 0); },
       {"record 3: in use with length 0", "500 bytes follow the end of the last entry's data"}},
      {"overlaps header",
       [&](Bytes& f) { set24(f, r1 + 1, 4000); },
       {"record 1: offset 4000, length 1000: overlaps the header"}},
      {"overlap",
       [&](Bytes& f) { set24(f, r3 + 1, 5000); },
       {"record 3: offset 5000, length 500: overlaps the data before it, which ends at 5096",
        "96 bytes follow the end of the last entry's data at 5500"}},
      {"gap and size",
       [&](Bytes& f) { set24(f, r3 + 1, 5097), set24(f, r3 + 5, 499); },
       {"record 3: offset 5097, length 499: leaves a gap of 1 byte after 5096",
        "the file is 5596 bytes, not 4096 + 1499"}},
      {"out of range",
       [&](Bytes& f) { set24(f, r3 + 5, 501); },
       {"record 3: offset 5096, length 501: passes the end of the file (5596 bytes)"}},
      {"data past the end",
       [](Bytes& f) { f.push_back(0); },
       {"1 byte follows the end of the last entry's data at 5596"}},
      {"truncated data",
       [](Bytes& f) { f.pop_back(); },
       {"record 3: offset 5096, length 500: passes the end of the file (5595 bytes)"}},
      {"truncated header",
       [](Bytes& f) { f.resize(4095); },
       {"the file is 4095 bytes, shorter than its 4096-byte header"}},
      {"empty file",
       [](Bytes& f) { f.clear(); },
       {"the file is 0 bytes, shorter than its 4096-byte header"}},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    Bytes copy = sound;
    damage.apply(copy);
    WriteFile("damaged.mpd", copy);
    const Outcome verify = Mpd({"verify", "damaged.mpd"});
    EXPECT_EQ(verify.status, 1);
    for (const char* fault : damage.faults) {
      EXPECT_NE(verify.out.find(std::string("damaged.mpd: ") + fault), std::string::npos)
          << verify.out;
    }
    const std::string count = std::to_string(damage.faults.size()) +
                              (damage.faults.size() == 1 ? " fault\n" : " faults\n");
    EXPECT_NE(verify.out.find("damaged.mpd: " + count), std::string::npos) << verify.out;

    const Outcome list = Mpd({"list", "damaged.mpd"});
    EXPECT_EQ(list.status, 1);
    EXPECT_NE(list.err.find(damage.faults[0]), std::string::npos) << list.err;
    EXPECT_EQ(Mpd({"extract", "damaged.mpd", "out"}).status, 1);
    EXPECT_FALSE(fs::exists("out"));
  }
}

TEST_F(MpdTest, VerifyFindsDataOverCapacity) {
  // One record of 4,096,001 bytes over a sparse data section.
  Bytes header(4096, 0xFF);
  const std::string magic = "MP3DATA_VER00";
  std::copy(magic.begin(), magic.end(), header.begin());
  header[16] = 1;
  const Bytes record = {0x00, 0x00, 0x10, 0x00, 0x00, 0x3E, 0x80, 0x01, 0xA4};
  std::copy(record.begin(), record.end(), header.begin() + 32);
  WriteFile("big.mpd", header);
  fs::resize_file("big.mpd", 4096 + 4096001);
  const Outcome verify = Mpd({"verify", "big.mpd"});
  EXPECT_EQ(verify.status, 1);
  EXPECT_NE(
      verify.out.find("big.mpd: the data totals 4096001 bytes, above the capacity of 4096000\n"),
      std::string::npos)
      << verify.out;
  EXPECT_NE(verify.out.find("big.mpd: 1 fault\n"), std::string::npos) << verify.out;
}

TEST_F(MpdTest, BadFilesGetAMessageAndNothingWritten) {
  SoundBank();
  Bytes header = ReadFile("bank.mpd");
  header.resize(4096);
  std::fill(header.begin() + 32, header.end(), 0xFF);
  header[16] = 0;
  WriteFile("huge.mpd", header);
  fs::resize_file("huge.mpd", 5'000'000'000);  // sparse: never read past the header
  fs::create_directory("folder.mpd");
  struct Case {
    const char* file;
    const char* message;
  };
  const Case cases[] = {
      {"huge.mpd", "4999995904 bytes follow the end of the header at 4096"},
      {"folder.mpd", "\"folder.mpd\" is a folder, not a voice bank file"},
      {"missing.mpd", "Cannot open file \"missing.mpd\": No such file or directory"},
      {"/dev/null", "\"/dev/null\" is not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"list", c.file},
                                                 {"list", c.file, "--json"},
                                                 {"verify", c.file},
                                                 {"extract", c.file, "out"}}) {
      const Outcome run = Mpd(args);
      EXPECT_EQ(run.status, 1) << args[0];
      EXPECT_NE((run.out + run.err).find(c.message), std::string::npos) << run.out << run.err;
    }
    EXPECT_FALSE(fs::exists("out"));
  }
}

TEST_F(MpdTest, BuildFailuresWriteNothing) {
  WriteFile("full.mp3", Bytes(4096000, 0x55));
  WriteFile("one.mp3", {1});
  WriteFile("MP3DATA.MPD", {7, 7, 7});
  WriteFile("huge.list", {});
  fs::resize_file("huge.list", 5'000'000'000);  // sparse; a list that big is not read
  std::string many;
  for (int i = 0; i < 255; ++i) {
    many += "one.mp3\n";
  }
  struct Case {
    const char* name;
    std::string list;
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {"capacity", "full.mp3\n\none.mp3\n", {"build", "list"}, "文件大小超过容量"},
      {"missing entry", "one.mp3\nnone.mp3\n", {"build", "list"}, "Cannot open file \"none.mp3\""},
      {"too many",
       many,
       {"build", "list", "-o", "x.mpd"},
       "\"list\" line 255: a voice bank holds at most 254 entries"},
      {"output is a folder", "one.mp3\n", {"build", "list", "-o", "."}, "Cannot create file \".\""},
      {"missing list", "", {"build", "nolist", "-o", "x.mpd"}, "Cannot open file \"nolist\""},
      {"list is a folder", "", {"build", ".", "-o", "x.mpd"}, "\".\" is a folder, not a list"},
      {"list is huge",
       "",
       {"build", "huge.list", "-o", "x.mpd"},
       "\"huge.list\" is larger than 4194304 bytes, too large for a list"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteText("list", c.list);
    const std::vector<std::string>& args = c.args;
    const Outcome run = Mpd(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile("MP3DATA.MPD"), (Bytes{7, 7, 7}));
    EXPECT_FALSE(fs::exists("x.mpd"));
  }
  // Exactly the capacity is accepted.
  WriteText("list", "full.mp3\n\n");
  ASSERT_EQ(Mpd({"build", "list"}).status, 0);
  EXPECT_EQ(fs::file_size("MP3DATA.MPD"), 4100096u);
  EXPECT_EQ(Mpd({"verify", "MP3DATA.MPD"}).status, 0);
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 5);  // no temp
}

TEST_F(MpdTest, HelpForEachSubcommandAndUsageErrors) {
  const std::vector<std::pair<std::vector<std::string>, const char*>> helps = {
      {{"--help"}, "extract"},
      {{"list", "--help"}, "--json"},
      {{"verify", "--help"}, "fault"},
      {{"extract", "--help"}, "--force"},
      {{"build", "--help"}, "MP3DATA.MPD in the working directory"},
  };
  for (const auto& [args, text] : helps) {
    const Outcome run = Mpd(args);
    EXPECT_EQ(run.status, 0) << args[0];
    EXPECT_NE(run.out.find(text), std::string::npos) << run.out;
  }
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {"list"},
                                               {"frobnicate"},
                                               {"extract", "x"},
                                               {"list", "a", "b"}}) {
    const Outcome run = Mpd(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_FALSE(run.err.empty());
  }
}

}  // namespace
