#include "fullmap/build/build_pool.h"

#include <algorithm>
#include <exception>

#include "common/thread_group.h"
#include "common/thread_probe.h"

namespace corv::fullmap {
namespace {

// oneTBB faults when an arena with more than 65,536 slots is torn down.
constexpr size_t kMaxArenaSlots = size_t{1} << 16;

}  // namespace

size_t BuildPool::slots(size_t threads) { return std::clamp<size_t>(threads, 1, kMaxArenaSlots); }

BuildPool::BuildPool(size_t threads) : threads_(slots(threads)) {}

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
  if (auto probed = probe_threads(threads_ - 1); !probed) workers_ = fail_io(probed.error().error);
  return workers_;
}

}  // namespace corv::fullmap
