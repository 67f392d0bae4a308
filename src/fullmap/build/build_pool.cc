#include "fullmap/build/build_pool.h"

#include <algorithm>
#include <exception>
#include <latch>

#include "common/thread_group.h"

namespace corv::fullmap {
namespace {

// oneTBB faults when an arena with more than 65,536 slots is torn down.
constexpr size_t kMaxArenaSlots = size_t{1} << 16;

}  // namespace

BuildPool::BuildPool(size_t threads) : threads_(std::clamp<size_t>(threads, 1, kMaxArenaSlots)) {}

Status BuildPool::run(absl::FunctionRef<Status()> job) {
  using tbb::global_control;
  if (threads_ > global_control::active_value(global_control::max_allowed_parallelism)) {
    parallelism_ = std::make_unique<global_control>(global_control::max_allowed_parallelism, threads_);
  }
  arena_ = std::make_unique<tbb::task_arena>(static_cast<int>(threads_));
  try {
    arena_->initialize();
  } catch (const std::exception& e) {
    return fail_runtime(e.what());
  }
  // The caller only waits: were it a pool thread, reports made on it would
  // run Python there, where a pending Ctrl-C turns into an exception inside
  // the callable and is discarded with it. The runner takes the arena's
  // master slot, so the pool has its threads and a job to run even where
  // oneTBB lends no workers (a single core).
  ThreadGroup runner;
  auto started = runner.try_spawn([&] {
    Status result;
    arena_->execute([&] { result = job(); });
    return result;
  });
  if (!started) return fail_io(started.error());
  return runner.join_rethrowing();
}

Status BuildPool::ensure_workers() {
  if (checked_) return workers_;
  checked_ = true;
  // All of them at once, as oneTBB would hold them.
  std::latch release(1);
  ThreadGroup probes;
  for (size_t i = 1; i < threads_ && workers_; ++i) {
    auto started = probes.try_spawn([&] {
      release.wait();
      return Status{};
    });
    if (!started) workers_ = fail_io(started.error());
  }
  release.count_down();
  (void)probes.join_rethrowing();
  return workers_;
}

}  // namespace corv::fullmap
