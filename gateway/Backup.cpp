#include "Backup.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Database.h"

namespace velkor::gateway {
namespace {

// SQLITE_BUSY or SQLITE_LOCKED (a writer's checkpoint, a WAL being recovered) is waited out
// this long per try, and tried this often, before the backup gives up.
constexpr int kBackupBusyTimeoutMs = 2000;
constexpr int kBackupTries = 10;
constexpr auto kBackupRetryPause = std::chrono::milliseconds(500);

struct BackupError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string Errno(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// A connection, closed when it goes.
class Connection {
 public:
  Connection(const std::string& path, int flags) {
    const int status = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (status != SQLITE_OK) {
      const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(status);
      sqlite3_close(db_);
      db_ = nullptr;
      throw BackupError("cannot open " + path + ": " + message);
    }
    sqlite3_busy_timeout(db_, kBackupBusyTimeoutMs);
  }
  ~Connection() { sqlite3_close(db_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Runs `sql` with `text` bound to its parameter, if any; the first column of every row.
  // SQLITE_BUSY and SQLITE_LOCKED are tried again, kBackupTries times at most.
  std::vector<std::string> Rows(const char* sql, const std::string* text = nullptr,
                                const std::function<void()>& beforeRetry = {}) {
    for (int attempt = 1;; ++attempt) {
      sqlite3_stmt* statement = nullptr;
      int status = sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr);
      if (status == SQLITE_OK && text != nullptr) {
        status = sqlite3_bind_text(statement, 1, text->data(), static_cast<int>(text->size()),
                                   SQLITE_TRANSIENT);
      }
      std::vector<std::string> rows;
      while (status == SQLITE_OK || status == SQLITE_ROW) {
        status = sqlite3_step(statement);
        if (status == SQLITE_ROW) {
          const auto* value = sqlite3_column_text(statement, 0);
          rows.emplace_back(value != nullptr ? reinterpret_cast<const char*>(value) : "");
        }
      }
      const std::string message = sqlite3_errmsg(db_);
      sqlite3_finalize(statement);
      if (status == SQLITE_DONE) {
        return rows;
      }
      const int primary = status & 0xff;
      if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) || attempt >= kBackupTries) {
        throw BackupError(message);
      }
      if (beforeRetry) {
        beforeRetry();
      }
      std::this_thread::sleep_for(kBackupRetryPause);
    }
  }

 private:
  sqlite3* db_ = nullptr;
};

// The temporary copy beside the target: created 0600 and empty (VACUUM INTO fills an empty
// file), removed unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::filesystem::path& beside) {
    std::string pattern = beside.string() + ".tmp-XXXXXX";
    fd_ = mkostemp(pattern.data(), O_CLOEXEC);  // mode 0600
    if (fd_ < 0) {
      throw BackupError(Errno("cannot create a temporary file beside " + beside.string()));
    }
    path_ = pattern;
  }
  ~TemporaryFile() {
    if (fd_ >= 0) {
      close(fd_);
    }
    if (!path_.empty()) {
      std::error_code ignored;
      std::filesystem::remove(path_, ignored);
      std::filesystem::remove(path_.string() + "-journal", ignored);
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  void Empty() const {
    if (ftruncate(fd_, 0) != 0) {
      throw BackupError(Errno("cannot empty " + path_.string()));
    }
  }
  void Sync() const {
    if (fsync(fd_) != 0) {
      throw BackupError(Errno("cannot fsync " + path_.string()));
    }
  }
  // Renamed to `target`; refused when `target` exists unless `replace`.
  void RenameTo(const std::filesystem::path& target, bool replace) {
    int status =
        replace ? rename(path_.c_str(), target.c_str())
                : renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (status != 0 && !replace && (errno == EINVAL || errno == ENOSYS)) {
      // A file system without RENAME_NOREPLACE: a hard link refuses an existing name too.
      status = link(path_.c_str(), target.c_str());
      if (status == 0) {
        unlink(path_.c_str());
      }
    }
    if (status != 0) {
      throw BackupError(errno == EEXIST
                            ? target.string() + " exists; give --force to replace it"
                            : Errno("cannot rename " + path_.string() + " to " + target.string()));
    }
    path_.clear();
  }

 private:
  int fd_ = -1;
  std::filesystem::path path_;
};

void SyncFolder(const std::filesystem::path& file) {
  const std::filesystem::path folder =
      file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    const std::string message = Errno("cannot fsync the folder " + folder.string());
    if (fd >= 0) {
      close(fd);
    }
    throw BackupError(message);
  }
  close(fd);
}

void Backup(const BackupOptions& options) {
  if (Database::IsPostgresUrl(options.db)) {
    throw BackupError(
        "backup copies a SQLite store; for a PostgreSQL store use pg_dump of the whole database "
        "(pg_dump --format=custom --file=FILE URL, restored with pg_restore into an empty "
        "database)");
  }
  const std::filesystem::path source = options.db;
  const std::filesystem::path target = options.to;
  std::error_code error;
  if (!std::filesystem::is_regular_file(source, error)) {
    throw BackupError("no store at " + source.string());
  }
  if (std::filesystem::exists(std::filesystem::symlink_status(target, error))) {
    if (std::filesystem::equivalent(source, target, error)) {
      throw BackupError(target.string() + " is the store itself");
    }
    if (!options.force) {
      throw BackupError(target.string() + " exists; give --force to replace it");
    }
  }

  // Read-write without create: a missing store is not made, and a store a crashed gateway left
  // with its WAL can be read (nothing is written to it).
  Connection store(source.string(), SQLITE_OPEN_READWRITE);
  const std::vector<std::string> version = store.Rows("PRAGMA user_version");
  if (version.empty() || version[0] == "0" ||
      store.Rows("SELECT name FROM sqlite_master WHERE name = 'events'").empty()) {
    throw BackupError(source.string() + " is not a velkor-gateway store");
  }

  TemporaryFile copy(target);
  const std::string copyPath = copy.path().string();
  store.Rows("VACUUM INTO ?", &copyPath, [&] { copy.Empty(); });

  {
    Connection check(copyPath, SQLITE_OPEN_READONLY);
    const std::vector<std::string> result = check.Rows("PRAGMA integrity_check");
    if (result.size() != 1 || result[0] != "ok") {
      throw BackupError("the copy fails its integrity check: " +
                        (result.empty() ? std::string("no answer") : result[0]));
    }
    if (check.Rows("PRAGMA user_version") != version) {
      throw BackupError("the copy's schema version is not the store's");
    }
  }
  copy.Sync();
  copy.RenameTo(target, options.force);
  SyncFolder(target);
}

}  // namespace

int RunBackup(const BackupOptions& options) {
  try {
    Backup(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velkor-gateway backup: %s\n", e.what());
    return 1;
  }
  std::printf("velkor-gateway backup: %s copied to %s\n", options.db.c_str(), options.to.c_str());
  return 0;
}

}  // namespace velkor::gateway
