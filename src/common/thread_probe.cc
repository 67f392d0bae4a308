#include "common/thread_probe.h"

#include <latch>

#include "common/thread_group.h"

namespace corv {

std::expected<void, ThreadRefusal> probe_threads(size_t count) {
  // Held all at once, as the threads they stand for would be.
  std::latch release(1);
  ThreadGroup probes;
  std::expected<void, ThreadRefusal> result;
  for (size_t i = 0; i < count && result; ++i) {
    auto started = probes.try_spawn([&] {
      release.wait();
      return Status{};
    });
    if (!started) result = std::unexpected(ThreadRefusal{i, started.error()});
  }
  release.count_down();
  (void)probes.join_rethrowing();
  return result;
}

}  // namespace corv
