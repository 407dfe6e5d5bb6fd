// The floor of "stored before acknowledged": the echo loop of EchoOnly, except that every
// accepted event report is appended, as it came off the wire, to one file, and the file is
// synced (fdatasync) once per batch before the batch's replies go. What the gateway's store
// costs above this is the store's own work; what this costs above EchoOnly is the disk's.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Link.h"

namespace velkor::gateway {

class DurableFloor final : public BatchHandler {
 public:
  // Opens (creates, mode 0600) `path` for appending; throws std::runtime_error with a message
  // that says what failed.
  explicit DurableFloor(const std::string& path);
  ~DurableFloor() override;
  DurableFloor(const DurableFloor&) = delete;
  DurableFloor& operator=(const DurableFloor&) = delete;

  // Polls and every other accepted packet get their echo; event reports get theirs only when
  // the batch's reports are written and synced. A failed write or sync leaves the batch's
  // reports unanswered (said once on stderr) and the file cut back to what it held before; the
  // next batch tries again. A batch without a report is not synced: it stores nothing, and
  // the gateway, too, commits only the batches that write.
  void Handle(std::span<Datagram> batch) override;

 private:
  bool Store();

  std::string path_;
  int fd_ = -1;
  off_t size_ = -1;  // what the file holds after the last batch stored; -1: not a plain file
  std::vector<std::uint8_t> pending_;  // the batch's reports, as received
  std::vector<std::size_t> reports_;   // their places in the batch
  bool failureSaid_ = false;
};

}  // namespace velkor::gateway
