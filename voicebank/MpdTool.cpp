#include "voicebank/MpdTool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <sstream>
#include <utility>

#include "voicebank/Mp3Probe.h"
#include "voicebank/VoiceBank.h"
#include "voicebank/VoiceBankReader.h"

#include "VelkorVersion.h"
#include "voicebank/FileHandle.h"

namespace sonpak::mpd {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Thrown for bad input: the message is printed as it is and the exit status is 1.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string Quoted(const std::string& path) {
  return "\"" + path + "\"";
}

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
  throw InputError(what + " " + Quoted(path) + ": " + std::strerror(error));
}

// An opened voice bank: its header bytes, its size, and its layout as the reader finds it. Only
// the header and the entries' data are ever read, so a file of any size is safe to hand in.
class Bank {
 public:
  explicit Bank(const std::string& path)
      : path_(path), file_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)) {
    if (file_.get() < 0) {
      Fail("Cannot open file", path, errno);
    }
    struct stat info {};
    if (::fstat(file_.get(), &info) != 0) {
      Fail("Cannot open file", path, errno);
    }
    if (S_ISDIR(info.st_mode)) {
      throw InputError(Quoted(path) + " is a folder, not a voice bank file");
    }
    if (!S_ISREG(info.st_mode)) {
      throw InputError(Quoted(path) + " is not a regular file");
    }
    size_ = static_cast<std::uint64_t>(info.st_size);
    head_ = ReadAt(0, static_cast<std::size_t>(std::min<std::uint64_t>(size_, kHeaderSize)));
    layout_ = ReadVoiceBankLayout(head_.data(), head_.size(), size_);
  }

  const std::string& path() const { return path_; }
  std::uint64_t size() const { return size_; }
  const VoiceBankLayout& layout() const { return layout_; }

  // Every entry's bytes lie inside the file (the reader left out any that would not).
  Bytes Data(const StoredEntry& entry) const { return ReadAt(entry.offset, entry.length); }

  // list and extract need a file whose index can be trusted.
  void RequireSound() const {
    if (layout_.faults.empty()) {
      return;
    }
    std::string message =
        Quoted(path_) + " is not a sound voice bank (velkor-mpd verify lists " + "every fault):";
    for (const std::string& fault : layout_.faults) {
      message += "\n  " + fault;
    }
    throw InputError(message);
  }

 private:
  Bytes ReadAt(std::uint64_t offset, std::size_t count) const {
    Bytes bytes(count);
    std::size_t done = 0;
    while (done < count) {
      const ssize_t got = ::pread(file_.get(), bytes.data() + done, count - done,
                                  static_cast<off_t>(offset + done));
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0) {
        Fail("Cannot read file", path_, errno);
      }
      if (got == 0) {
        throw InputError("Cannot read file " + Quoted(path_) + ": it ended early");
      }
      done += static_cast<std::size_t>(got);
    }
    return bytes;
  }

  std::string path_;
  FileHandle file_;
  std::uint64_t size_ = 0;
  Bytes head_;
  VoiceBankLayout layout_;
};

std::string Percent(std::uint64_t used) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", static_cast<double>(used) * 100 / kDataCapacity);
  return text;
}

const char* kLayers[] = {"?", "I", "II", "III"};

std::string Describe(const std::optional<Mp3Details>& mp3) {
  if (!mp3) {
    return "not MP3";
  }
  char text[160];
  std::snprintf(text, sizeof text, "MPEG %s layer %s, %d kbit/s%s, %ld Hz, %s, %.3f s",
                mp3->version.c_str(), kLayers[std::clamp(mp3->layer, 0, 3)], mp3->bitrate,
                mp3->variable ? " (variable)" : "", mp3->sampleRate, mp3->mode.c_str(),
                mp3->seconds);
  return text;
}

nlohmann::ordered_json Json(const std::optional<Mp3Details>& mp3) {
  if (!mp3) {
    return nullptr;
  }
  return {{"version", mp3->version},
          {"layer", mp3->layer},
          {"bitrate_kbps", mp3->bitrate},
          {"variable_bitrate", mp3->variable},
          {"sample_rate", mp3->sampleRate},
          {"channels", mp3->channels},
          {"mode", mp3->mode},
          {"samples", mp3->samples},
          {"duration_s", mp3->seconds}};
}

int List(const std::string& path, bool json, std::ostream& out) {
  const Bank bank(path);
  bank.RequireSound();
  const VoiceBankLayout& layout = bank.layout();
  if (json) {
    nlohmann::ordered_json entries = nlohmann::ordered_json::array();
    for (const StoredEntry& entry : layout.entries) {
      const Bytes data = bank.Data(entry);
      entries.push_back({{"number", entry.number},
                         {"offset", entry.offset},
                         {"length", entry.length},
                         {"mp3", Json(ProbeMp3(data.data(), data.size()))}});
    }
    const nlohmann::ordered_json report = {
        {"file", path},
        {"entry_count", layout.entryCount},
        {"entries", entries},
        {"bytes_used", layout.dataBytes},
        {"capacity", kDataCapacity},
        {"percent_used", static_cast<double>(layout.dataBytes) * 100 / kDataCapacity}};
    // A file name that is not UTF-8 must not stop the report: such bytes print as U+FFFD.
    out << report.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
    return 0;
  }
  out << path << ": " << layout.entryCount << " entries, " << layout.entries.size()
      << " with data\n";
  if (!layout.entries.empty()) {
    out << "  no.   offset   length  contents\n";
  }
  for (const StoredEntry& entry : layout.entries) {
    const Bytes data = bank.Data(entry);
    char columns[48];
    std::snprintf(columns, sizeof columns, "  %3d %8u %8u  ", entry.number, entry.offset,
                  entry.length);
    out << columns << Describe(ProbeMp3(data.data(), data.size())) << "\n";
  }
  out << "bytes used: " << layout.dataBytes << " of " << kDataCapacity << " ("
      << Percent(layout.dataBytes) << "%)\n";
  return 0;
}

int Verify(const std::string& path, std::ostream& out) {
  const Bank bank(path);
  const VoiceBankLayout& layout = bank.layout();
  for (const std::string& fault : layout.faults) {
    out << path << ": " << fault << "\n";
  }
  for (const StoredEntry& entry : layout.entries) {
    const Bytes data = bank.Data(entry);
    if (!ProbeMp3(data.data(), data.size())) {
      out << path << ": warning: record " << entry.number << ": not MP3\n";
    }
  }
  if (!layout.faults.empty()) {
    out << path << ": " << layout.faults.size()
        << (layout.faults.size() == 1 ? " fault\n" : " faults\n");
    return 1;
  }
  out << path << ": sound, " << layout.entryCount << " entries, " << layout.dataBytes
      << " bytes of data\n";
  return 0;
}

void WriteAll(int fd, const Bytes& bytes, const std::string& path) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      Fail("Cannot write file", path, put < 0 ? errno : ENOSPC);
    }
    done += static_cast<std::size_t>(put);
  }
}

// Files extract has put in place, and its temporary file: all removed again unless the whole
// extraction succeeds, so that a failed run leaves only what was there before.
class Extraction {
 public:
  ~Extraction() {
    if (!temp_.empty()) {
      ::unlink(temp_.c_str());
    }
    if (!done_) {
      for (const std::string& path : created_) {
        ::unlink(path.c_str());
      }
      if (!folder_.empty()) {
        ::rmdir(folder_.c_str());
      }
    }
  }

  // A folder the extraction made, removed again on failure (once its files are gone).
  void CreatedFolder(const std::string& folder) { folder_ = folder; }

  void Write(const Bytes& data, const std::string& target, bool force) {
    temp_ = target + "." + std::to_string(::getpid()) + ".tmp";
    FileHandle file(::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file.get() < 0) {
      const int error = errno;
      temp_.clear();
      Fail("Cannot create file", target, error);
    }
    WriteAll(file.get(), data, target);
    if (::fsync(file.get()) != 0 || ::close(file.release()) != 0) {
      Fail("Cannot write file", target, errno);
    }
    // Without --force, link() puts the file in place only where no file of that name exists.
    const bool existed = ::access(target.c_str(), F_OK) == 0;
    if (force ? ::rename(temp_.c_str(), target.c_str()) != 0
              : ::link(temp_.c_str(), target.c_str()) != 0) {
      Fail("Cannot create file", target, errno);
    }
    if (!force) {
      ::unlink(temp_.c_str());
    }
    temp_.clear();
    if (!existed) {
      created_.push_back(target);
    }
  }
  void Done() { done_ = true; }

 private:
  std::string temp_;
  std::string folder_;
  std::vector<std::string> created_;
  bool done_ = false;
};

std::string EntryFileName(int number) {
  char name[16];
  std::snprintf(name, sizeof name, "%03d.mp3", number);
  return name;
}

int Extract(const std::string& path, const std::string& folder, bool force, std::ostream& out) {
  const Bank bank(path);
  bank.RequireSound();
  std::error_code error;
  if (fs::exists(folder, error) && !fs::is_directory(folder, error)) {
    throw InputError(Quoted(folder) + " exists and is not a folder");
  }
  std::vector<std::string> targets;
  std::vector<std::string> present;
  for (const StoredEntry& entry : bank.layout().entries) {
    targets.push_back((fs::path(folder) / EntryFileName(entry.number)).string());
    if (fs::symlink_status(targets.back(), error).type() != fs::file_type::not_found) {
      present.push_back(targets.back());
    }
  }
  if (!force && !present.empty()) {
    std::string message = "Not overwriting what is there (--force replaces it):";
    for (const std::string& target : present) {
      message += "\n  " + target;
    }
    throw InputError(message);
  }
  Extraction extraction;
  if (fs::create_directories(folder, error)) {
    extraction.CreatedFolder(folder);
  } else if (error) {
    Fail("Cannot create folder", folder, error.value());
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    extraction.Write(bank.Data(bank.layout().entries[i]), targets[i], force);
  }
  extraction.Done();
  out << targets.size() << (targets.size() == 1 ? " entry" : " entries") << " written to " << folder
      << "\n";
  return 0;
}

// Room for 254 long paths and plenty of comments; anything larger is not a list (a voice bank or
// an MP3 file given by mistake) and is not read into memory.
constexpr std::size_t kMaxListBytes = 4 << 20;

std::string ReadListText(const std::string& listPath) {
  struct stat info {};
  if (::stat(listPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    throw InputError(Quoted(listPath) + " is a folder, not a list");
  }
  std::ifstream list(listPath, std::ios::binary);
  if (!list) {
    Fail("Cannot open file", listPath, errno);
  }
  std::string text;
  char chunk[65536];
  while (list.read(chunk, sizeof chunk) || list.gcount() > 0) {
    text.append(chunk, static_cast<std::size_t>(list.gcount()));
    if (text.size() > kMaxListBytes) {
      throw InputError(Quoted(listPath) + " is larger than " + std::to_string(kMaxListBytes) +
                       " bytes, too large for a list");
    }
  }
  if (list.bad()) {
    Fail("Cannot read file", listPath, EIO);
  }
  return text;
}

// One path a line in entry order; an empty line is a cleared entry and a line starting with #
// is a comment. A relative path is taken from the list's own folder, as in a playlist; from the
// working directory when the list is no file there (a pipe, say `<(ls *.mp3)`).
std::vector<std::string> ReadList(const std::string& listPath) {
  std::istringstream list(ReadListText(listPath));
  std::error_code error;
  const fs::path base =
      fs::is_regular_file(listPath, error) ? fs::path(listPath).parent_path() : fs::path();
  std::vector<std::string> paths;
  std::string line;
  int lineNumber = 0;
  while (std::getline(list, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (!line.empty() && line.front() == '#') {
      continue;
    }
    if (paths.size() == static_cast<std::size_t>(kMaxEntries)) {
      throw InputError(Quoted(listPath) + " line " + std::to_string(lineNumber) +
                       ": a voice bank holds at most " + std::to_string(kMaxEntries) + " entries");
    }
    const fs::path entry = line;
    paths.push_back(line.empty() || entry.is_absolute() ? line : (base / entry).string());
  }
  return paths;
}

int Build(const std::string& listPath, const std::string& output, std::ostream& out) {
  const std::vector<std::string> paths = ReadList(listPath);
  try {
    CompileVoiceBankAs(output, static_cast<int>(paths.size()), paths);
  } catch (const VoiceBankError& e) {
    throw InputError(e.what());
  }
  out << output << ": " << paths.size() << " entries written\n";
  return 0;
}

}  // namespace

int RunMpd(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CLI::App app("Lists, verifies, extracts and builds the voice bank file MP3DATA.MPD.",
               "velkor-mpd");
  app.set_version_flag("--version", "velkor-mpd " VELKOR_VERSION);
  app.require_subcommand(1);
  std::string file;
  std::string folder;
  std::string listPath;
  std::string output = kVoiceBankFileName;
  bool json = false;
  bool force = false;

  CLI::App* list = app.add_subcommand(
      "list",
      "Show the entry count, every stored entry (number, offset, length, MP3 details) "
      "and the bytes used of 4096000.");
  list->add_option("FILE", file, "the voice bank file")->required();
  list->add_flag("--json", json, "print one JSON object instead of text");

  CLI::App* verify = app.add_subcommand(
      "verify",
      "Check the file's structure; print every fault and exit 1 if there is any. An "
      "entry that is not MP3 is only a warning.");
  verify->add_option("FILE", file, "the voice bank file")->required();

  CLI::App* extract =
      app.add_subcommand("extract", "Write each stored entry into DIR as NNN.mp3 (its number).");
  extract->add_option("FILE", file, "the voice bank file")->required();
  extract->add_option("DIR", folder, "the folder to write into (created if missing)")->required();
  extract->add_flag("--force", force, "replace files of those names");

  CLI::App* build = app.add_subcommand(
      "build",
      "Compile a voice bank from a list: one path a line in entry order, an empty line "
      "for a cleared entry, # for a comment line; relative paths are taken from the "
      "list's folder.");
  build->add_option("LIST", listPath, "the list file")->required();
  build->add_option("-o,--output", output, "the file to write")
      ->default_str(kVoiceBankFileName)
      ->option_text("FILE (default: MP3DATA.MPD in the working directory)");

  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e, out, err);
    return status == 0 ? 0 : 2;
  }

  try {
    if (list->parsed()) {
      return List(file, json, out);
    }
    if (verify->parsed()) {
      return Verify(file, out);
    }
    if (extract->parsed()) {
      return Extract(file, folder, force, out);
    }
    return Build(listPath, output, out);
  } catch (const std::exception& e) {
    err << "velkor-mpd: " << e.what() << "\n";
  }
  return 1;
}

}  // namespace sonpak::mpd
