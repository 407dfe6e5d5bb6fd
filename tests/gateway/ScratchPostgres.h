// A PostgreSQL server of a test's own, in the test's scratch folder on 127.0.0.1, through
// tests/support/scratch_postgres.sh (which runs it as an unprivileged user when the test runs
// as root). Stopped when the object goes.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace velkor::test {

// A folder for a test's server and stores under the test's temporary folder, gone with the
// object. `name` tells whose it is.
struct ScratchFolder {
  explicit ScratchFolder(const std::string& name) {
    std::string pattern = ::testing::TempDir() + "/velkor-" + name + "-XXXXXX";
    path = mkdtemp(pattern.data());
  }
  ~ScratchFolder() { std::filesystem::remove_all(path); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  std::filesystem::path path;
};

class ScratchPostgres {
 public:
  explicit ScratchPostgres(const std::filesystem::path& dir) : dir_(dir / "postgres") {
    chmod(dir.c_str(), 0755);  // the server's user must reach its folder
    url_ = Run("start");
  }
  ~ScratchPostgres() { Run("stop"); }
  ScratchPostgres(const ScratchPostgres&) = delete;
  ScratchPostgres& operator=(const ScratchPostgres&) = delete;

  const std::string& url() const { return url_; }
  bool Start() { return Run("start") == url_; }
  void Stop() { Run("stop"); }

 private:
  // The script's one line of output; its messages go to postgres.log beside the folder.
  std::string Run(const char* action) {
    const std::string command = std::string("sh ") + VELKOR_SCRATCH_POSTGRES + " " + action + " " +
                                dir_.string() + " 2>>" + dir_.string() + ".log";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
      return {};
    }
    char line[512] = {};
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    pclose(pipe);
    std::string text = read ? line : "";
    while (!text.empty() && text.back() == '\n') {
      text.pop_back();
    }
    return text;
  }

  std::filesystem::path dir_;
  std::string url_;
};

}  // namespace velkor::test
