// Threads of one ingest scope: started one by one, joined in start order
// when the scope ends, on every path. Each thread's outcome (its returned
// status, or an exception that escaped its body) is kept for the join.
#pragma once

#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "common/status.h"

namespace corv::fullmap {

class ThreadScope {
 public:
  ThreadScope() = default;
  ThreadScope(const ThreadScope&) = delete;
  ThreadScope& operator=(const ThreadScope&) = delete;
  ~ThreadScope();

  // Runs `body` on a new thread. The body (with whatever it captured) is
  // destroyed on that thread as soon as it ends. When the system refuses a
  // thread, nothing is started and the failure is a panic
  // "failed to spawn thread: ...".
  Status spawn(std::function<Status()> body);

  // Joins every thread not yet joined, in start order, and returns the
  // first failure in that order: a returned error, or Error::runtime(
  // panic_message) for a thread whose body threw.
  Status join_all(const char* panic_message);

  size_t size() const { return threads_.size(); }

 private:
  struct Outcome {
    Status status;
    bool panicked = false;
  };
  struct Started {
    std::thread thread;
    std::unique_ptr<Outcome> outcome;
  };
  std::vector<Started> threads_;
};

}  // namespace corv::fullmap
