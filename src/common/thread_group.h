// Threads started one by one and joined in start order. Each thread's
// outcome, the status its body returns or an exception escaping it, is kept
// for the join; the first failure in start order is the group's.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "common/status.h"

namespace corv {

// The failure of a thread the system refused (its error number): the panic
// "failed to spawn thread: <os error>".
Error spawn_failure(int error);

class ThreadGroup {
 public:
  // kAll: join and the destructor wait for every thread; for threads that
  // borrow from their caller. kUntilFailure: join returns at the first
  // failure and the destructor lets unjoined threads finish on their own;
  // for threads that own, or share, everything they touch.
  enum class Wait { kAll, kUntilFailure };

  explicit ThreadGroup(Wait wait = Wait::kAll) : wait_(wait) {}
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;
  ~ThreadGroup();

  // Runs `body` on a new thread. The body (with whatever it captured) is
  // destroyed on that thread as soon as it ends. When the system refuses a
  // thread, nothing is started and the failure is a panic
  // "failed to spawn thread: <os error>".
  Status spawn(std::function<Status()> body);

  // As spawn(), but a refused thread is the system's error number, for a
  // caller whose failure reads otherwise.
  std::expected<void, int> try_spawn(std::function<Status()> body);

  // Joins the threads not yet joined, in start order, and returns the first
  // failure in that order: a returned error, or Error::runtime(
  // panic_message) for a body that threw.
  Status join(std::string_view panic_message) { return join_threads(&panic_message); }

  // As join, but the exception that escaped a body is rethrown here: for a
  // thread that runs the caller's own operation, whose faults are its own.
  Status join_rethrowing() { return join_threads(nullptr); }

 private:
  struct Outcome {
    Status status;
    std::exception_ptr fault;
  };
  struct Started {
    std::thread thread;
    std::shared_ptr<Outcome> outcome;  // shared: an unjoined thread may outlive the group
  };

  Status join_threads(const std::string_view* panic_message);

  Wait wait_;
  std::vector<Started> threads_;
};

}  // namespace corv
