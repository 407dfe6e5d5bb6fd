#include "DurableFloor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Log.h"
#include "velkorlink.h"

namespace velkor::gateway {
namespace {

constexpr std::int32_t kEventReportCode = 0x01;

}  // namespace

DurableFloor::DurableFloor(const std::string& path) : path_(path) {
  fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    throw std::runtime_error("--durable-floor " + path + ": " + std::strerror(errno));
  }
  struct stat file {};
  if (fstat(fd_, &file) == 0 && S_ISREG(file.st_mode)) {
    size_ = file.st_size;
  }
  pending_.reserve(kMaxBatch * 128);
  reports_.reserve(kMaxBatch);
}

DurableFloor::~DurableFloor() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

void DurableFloor::Handle(std::span<Datagram> batch) {
  pending_.clear();
  reports_.clear();
  for (std::size_t i = 0; i < batch.size(); ++i) {
    Datagram& d = batch[i];
    d.reply = 0;
    if (d.oversized) {
      continue;
    }
    // The bytes as received: PreparePackage opens the block in place, and the reply is built
    // over them.
    const std::size_t mark = pending_.size();
    pending_.insert(pending_.end(), d.buffer.begin(), d.buffer.begin() + d.length);
    const std::int32_t code = PreparePackage(d.buffer.data(), d.length);
    if (code != kEventReportCode) {
      pending_.resize(mark);
    }
    if (code == 0) {
      continue;
    }
    if (code == kEventReportCode) {
      reports_.push_back(i);
    }
    d.reply = SendDeviceEcho(d.buffer.data());
    d.to = d.from;
    d.toLength = d.fromLength;
  }
  if (!reports_.empty() && !Store()) {
    for (std::size_t i : reports_) {
      batch[i].reply = 0;  // not on disk: not acknowledged
    }
  }
}

// Appends the batch's reports and syncs them; false when either fails.
bool DurableFloor::Store() {
  std::size_t written = 0;
  const char* failed = nullptr;
  int error = 0;
  while (written < pending_.size()) {
    const ssize_t n = write(fd_, pending_.data() + written, pending_.size() - written);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      failed = "write";
      error = n < 0 ? errno : ENOSPC;
      break;
    }
    written += static_cast<std::size_t>(n);
  }
  if (failed == nullptr && fdatasync(fd_) != 0) {
    failed = "fdatasync";
    error = errno;
  }
  if (failed == nullptr) {
    if (size_ >= 0) {
      size_ += static_cast<off_t>(written);
    }
    return true;
  }
  // What went in of the batch is not acknowledged; a report cut short would leave the reports
  // after it unreadable. When the cut fails, the file's end is no longer known, and no later
  // cut may go below what later batches acknowledged.
  if (size_ >= 0 && ftruncate(fd_, size_) != 0) {
    size_ = -1;
  }
  if (!failureSaid_) {
    failureSaid_ = true;
    LogError("--durable-floor " + path_ + ": " + failed + ": " + std::strerror(error) +
             "; event reports go unanswered while it fails (said once)");
  }
  return false;
}

}  // namespace velkor::gateway
