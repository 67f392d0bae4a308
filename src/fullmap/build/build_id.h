// The build id: the generation number that ties a main database file to its
// shard files. Drawn once per final write from the clock, the process id and
// a process-wide counter, so two builds in one process never share an id.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

namespace corv::fullmap {

// Incremented once per draw; never reset.
extern constinit std::atomic<uint64_t> BUILD_ID_COUNTER;

// Time since the Unix epoch, split into whole seconds and nanoseconds.
struct EpochTime {
  uint64_t seconds = 0;
  uint32_t nanos = 0;
};

// t = rotr(seconds, 32) ^ nanos (0 when the clock is before the epoch),
// v = t ^ (pid << 17); the id is v ^ counter, or counter itself when that
// would be 0. Never 0 for counter > 0.
uint64_t compose_build_id(std::optional<EpochTime> since_epoch, uint32_t pid, uint64_t counter);

// Reads the wall clock and the process id and draws the next counter value.
uint64_t next_build_id();

}  // namespace corv::fullmap
