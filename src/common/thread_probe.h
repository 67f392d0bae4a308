// Whether the system gives a number of threads at once.
#pragma once

#include <cstddef>
#include <expected>

namespace corv {

struct ThreadRefusal {
  size_t started;  // threads that had started before the refusal
  int error;       // the system's error number
};

// Starts `count` threads that all wait until the last has started (or one
// was refused), then ends and joins them.
std::expected<void, ThreadRefusal> probe_threads(size_t count);

}  // namespace corv
