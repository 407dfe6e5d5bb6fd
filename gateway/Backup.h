// `velkor-gateway backup`: a consistent copy of a SQLite store, taken while a gateway runs on it.
//
// The copy is made with VACUUM INTO, which reads the whole store in one read transaction: in
// WAL mode that is one snapshot of the store as of its start, and it never holds up the
// gateway's writes. (SQLite's backup API in steps starts over whenever another connection
// commits between two steps, which a busy gateway does many times a second; in one step it
// gives nothing VACUUM INTO does not.) The copy is also compact: the pages that retention freed
// are left out. Rowids of INTEGER PRIMARY KEY tables (event ids), the AUTOINCREMENT counters
// and the schema version are kept.
//
// The copy goes to a temporary file beside the target, created 0600 (it holds card lists and
// key hashes), is checked with PRAGMA integrity_check, fsync'ed, and renamed into place, its
// folder fsync'ed after. An existing target is refused unless `force`.
#pragma once

#include <string>

namespace velkor::gateway {

struct BackupOptions {
  std::string db;  // the store: a SQLite file
  std::string to;  // the copy
  bool force = false;
};

// Makes the copy and says so on stdout; 0, or 1 with the reason on stderr.
int RunBackup(const BackupOptions& options);

}  // namespace velkor::gateway
