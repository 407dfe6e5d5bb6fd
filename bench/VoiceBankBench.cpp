// The Sonpak compile of a full voice bank (254 files, 4,096,000 data bytes) against the I/O
// floor: the same files read and as many bytes written to one new file, flushed to disk and
// renamed into place, as durably as the compile writes its file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "voicebank/VoiceBank.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFiles = 254;
constexpr std::size_t kData = 4096000;

// A scratch folder holding the 254 input files; the working directory while a benchmark runs.
class Bank {
 public:
  Bank() {
    std::string pattern = (fs::temp_directory_path() / "velkor-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    folder_ = pattern;
    for (int k = 0; k < kFiles; ++k) {
      // 250 files of 16126 bytes and 4 of 16125: 4,096,000 bytes in all.
      const std::size_t size = kData / kFiles + (k < static_cast<int>(kData % kFiles) ? 1 : 0);
      std::vector<char> bytes(size, static_cast<char>(k));
      paths_.push_back((folder_ / ("prompt" + std::to_string(k) + ".mp3")).string());
      std::ofstream(paths_.back(), std::ios::binary).write(bytes.data(), bytes.size());
    }
    home_ = fs::current_path();
    fs::current_path(folder_);
  }
  ~Bank() {
    fs::current_path(home_);
    fs::remove_all(folder_);
  }
  const std::vector<std::string>& paths() const { return paths_; }

 private:
  fs::path folder_;
  fs::path home_;
  std::vector<std::string> paths_;
};

void ReadAll(int fd, std::uint8_t* into, std::size_t count) {
  for (std::size_t done = 0; done < count;) {
    const ssize_t got = ::read(fd, into + done, count - done);
    if (got <= 0) {
      std::abort();
    }
    done += static_cast<std::size_t>(got);
  }
}

void WriteAll(int fd, const std::uint8_t* from, std::size_t count) {
  for (std::size_t done = 0; done < count;) {
    const ssize_t put = ::write(fd, from + done, count - done);
    if (put <= 0) {
      std::abort();
    }
    done += static_cast<std::size_t>(put);
  }
}

// The floor: every file opened, sized and read whole into one buffer, then the same number of
// bytes written to one new file, flushed and renamed over the last one.
void IoFloor(const Bank& bank, std::vector<std::uint8_t>& bytes) {
  std::size_t at = sonpak::kHeaderSize;
  for (const std::string& path : bank.paths()) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
      std::abort();
    }
    ReadAll(fd, bytes.data() + at, static_cast<std::size_t>(info.st_size));
    ::close(fd);
    at += static_cast<std::size_t>(info.st_size);
  }
  const int out = ::open("FLOOR.tmp", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) {
    std::abort();
  }
  WriteAll(out, bytes.data(), bytes.size());
  if (::fsync(out) != 0 || ::close(out) != 0 || ::rename("FLOOR.tmp", "FLOOR.MPD") != 0) {
    std::abort();
  }
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The compile and the floor take turns on the same files, each going first every other round,
// so that both meet the same disk: the flush to disk dominates both and varies with whatever
// else the machine writes. Reports the median of each in milliseconds.
void CompileAgainstFloor(benchmark::State& state) {
  const Bank bank;
  std::vector<std::uint8_t> bytes(sonpak::kHeaderSize + kData);
  std::vector<double> compile;
  std::vector<double> floor;
  using Clock = std::chrono::steady_clock;
  const auto timed = [](auto&& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  };
  const auto run_compile = [&] { sonpak::CompileVoiceBank(kFiles, bank.paths()); };
  const auto run_floor = [&] { IoFloor(bank, bytes); };
  run_compile();  // warm-up: the inputs in the page cache, the output in place
  run_floor();
  bool compile_first = true;
  for (auto _ : state) {
    if (compile_first) {
      compile.push_back(timed(run_compile));
      floor.push_back(timed(run_floor));
    } else {
      floor.push_back(timed(run_floor));
      compile.push_back(timed(run_compile));
    }
    compile_first = !compile_first;
  }
  state.counters["compile_ms"] = Median(compile);
  state.counters["floor_ms"] = Median(floor);
  state.counters["ratio"] = Median(compile) / Median(floor);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kData) * 2);
}
BENCHMARK(CompileAgainstFloor)
    ->Name("e_compile_vs_io_floor")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(40);

}  // namespace
