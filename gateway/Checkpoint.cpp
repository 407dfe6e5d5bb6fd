#include "Checkpoint.h"

#include "Log.h"

namespace velkor::gateway {

Checkpoints::Checkpoints(const std::string& path, std::chrono::milliseconds every)
    : db_(Database::Open(path)), every_(every) {}

void Checkpoints::Start() {
  worker_.Start([this] { return Round(); });
}

void Checkpoints::Stop() {
  worker_.Stop();
}

std::chrono::milliseconds Checkpoints::Round() {
  try {
    db_->Exec("PRAGMA wal_checkpoint(PASSIVE)");
    failing_ = false;
  } catch (const DatabaseError& error) {
    // The link notices a store that is away on its own; the WAL grows meanwhile, and the next
    // checkpoint that works copies it all.
    if (!failing_) {
      LogWarning(std::string("checkpoint: ") + error.what() + "; retried");
      failing_ = true;
    }
  }
  return every_;
}

}  // namespace velkor::gateway
