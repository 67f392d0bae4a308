#include "fullmap/build/build_id.h"

#include <unistd.h>

#include <bit>
#include <chrono>

namespace corv::fullmap {

constinit std::atomic<uint64_t> BUILD_ID_COUNTER{0};

uint64_t compose_build_id(std::optional<EpochTime> since_epoch, uint32_t pid, uint64_t counter) {
  const uint64_t t = since_epoch ? std::rotr(since_epoch->seconds, 32) ^ since_epoch->nanos : 0;
  const uint64_t v = t ^ (uint64_t{pid} << 17);
  return v == counter ? counter : v ^ counter;
}

uint64_t next_build_id() {
  using namespace std::chrono;
  std::optional<EpochTime> since_epoch;
  const auto now = system_clock::now().time_since_epoch();
  if (now.count() >= 0) {
    const auto secs = duration_cast<seconds>(now);
    since_epoch = EpochTime{static_cast<uint64_t>(secs.count()),
                            static_cast<uint32_t>(duration_cast<nanoseconds>(now - secs).count())};
  }
  const uint64_t counter = BUILD_ID_COUNTER.fetch_add(1, std::memory_order_relaxed) + 1;
  return compose_build_id(since_epoch, static_cast<uint32_t>(getpid()), counter);
}

}  // namespace corv::fullmap
