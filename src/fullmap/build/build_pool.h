// The build's thread pool: a oneTBB arena of exactly `threads` slots whose
// one job runs on a runner thread of its own while the caller waits.
//
// oneTBB starts its workers lazily, when work is first spread, and ends the
// process when the system refuses one. So a job that is about to spread
// work first calls ensure_workers(), which checks that the system gives the
// pool's threads and otherwise fails with the system's error; a job that
// never spreads work (the caller's thread count notwithstanding) never
// needs them.
#pragma once

#include <cstddef>
#include <memory>

#include "absl/functional/function_ref.h"
#include "common/status.h"
#include "oneapi/tbb/global_control.h"
#include "oneapi/tbb/task_arena.h"

namespace corv::fullmap {

class BuildPool {
 public:
  explicit BuildPool(size_t threads);

  // The pool's size for a worker count: its threads, the runner included.
  static size_t slots(size_t threads);
  BuildPool(const BuildPool&) = delete;
  BuildPool& operator=(const BuildPool&) = delete;

  // Runs `job` inside the arena on the runner thread and returns its status.
  // A runner that cannot start fails with the system's error; a C++
  // exception escaping the job is rethrown here once the arena is done.
  Status run(absl::FunctionRef<Status()> job);

  // From inside the job: whether the pool's other threads can exist. Checked
  // once; every later call returns the first answer.
  Status ensure_workers();

 private:
  size_t threads_;
  // oneTBB otherwise caps its workers at the cores less one, and says so
  // on stderr; held for the build's duration.
  std::unique_ptr<tbb::global_control> parallelism_;
  std::unique_ptr<tbb::task_arena> arena_;
  bool checked_ = false;
  Status workers_;
};

}  // namespace corv::fullmap
