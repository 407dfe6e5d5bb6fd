// A background thread that works in rounds and sleeps between them, woken at once to stop: the
// retention sweep and the WAL checkpoints each run on one, on a store connection of their own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace velkor::gateway {

class Worker {
 public:
  Worker() = default;
  ~Worker() { Stop(); }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Runs `round` again and again; each returns how long to sleep before the next.
  void Start(std::function<std::chrono::milliseconds()> round) {
    thread_ = std::thread([this, round = std::move(round)] {
      for (;;) {
        const std::chrono::milliseconds wait = round();
        std::unique_lock lock(mutex_);
        if (wake_.wait_for(lock, wait, [this] { return stop_; })) {
          return;
        }
      }
    });
  }

  // Wakes the thread from its sleep; returns once it has ended (a round in hand is finished).
  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
      thread_.join();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace velkor::gateway
