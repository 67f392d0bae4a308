// Faults of the ingest threads. A broken invariant (an id space running
// out, a lock left behind by a failed thread) is thrown, unwinds to the
// thread body and is reported as a panic at the join. A lock held while a
// fault unwinds is marked failed, so other threads stop trusting what it
// guards instead of reading half-updated state.
#pragma once

#include <atomic>
#include <exception>
#include <stdexcept>

namespace corv::fullmap {

class IngestFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class PoisonFlag {
 public:
  // Call right after taking the lock.
  void check() const {
    if (poisoned_.load(std::memory_order_relaxed)) {
      throw IngestFault("lock left behind by a failed ingest thread");
    }
  }
  void set() { poisoned_.store(true, std::memory_order_relaxed); }
  bool is_set() const { return poisoned_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> poisoned_{false};
};

// Declare after the lock it covers: marks the flag when the scope is left
// by an exception, before the lock is released.
class PoisonOnUnwind {
 public:
  explicit PoisonOnUnwind(PoisonFlag& flag) : flag_(flag), depth_(std::uncaught_exceptions()) {}
  ~PoisonOnUnwind() {
    if (std::uncaught_exceptions() > depth_) flag_.set();
  }
  PoisonOnUnwind(const PoisonOnUnwind&) = delete;
  PoisonOnUnwind& operator=(const PoisonOnUnwind&) = delete;

 private:
  PoisonFlag& flag_;
  int depth_;
};

}  // namespace corv::fullmap
