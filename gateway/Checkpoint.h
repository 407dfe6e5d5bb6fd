// WAL checkpoints of a SQLite store, on a thread and a connection of their own. The link's
// connection never checkpoints inside its commit (its automatic checkpoint is off): copying the
// WAL's pages back into the database file, and that file's fsync, happen here instead, while
// the link goes on committing into the WAL. PASSIVE checkpoints wait for no one and hold up no
// writer; they copy what no reader still needs. Under commits that never pause they never copy
// up to the last one, so the writer checkpoints too once its WAL is long (Gateway::KeepWalShort).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "Database.h"
#include "Worker.h"

namespace velkor::gateway {

class Checkpoints {
 public:
  // Opens its own connection to the SQLite file `path`; throws DatabaseError when it cannot.
  explicit Checkpoints(const std::string& path,
                       std::chrono::milliseconds every = std::chrono::milliseconds(250));

  void Start();
  void Stop();  // after a checkpoint in hand; the last connection to close checkpoints the rest

 private:
  std::chrono::milliseconds Round();

  std::unique_ptr<Database> db_;
  std::chrono::milliseconds every_;
  bool failing_ = false;
  Worker worker_;  // last: stopped before the rest goes
};

}  // namespace velkor::gateway
