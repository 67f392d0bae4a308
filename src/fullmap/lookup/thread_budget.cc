#include "fullmap/lookup/thread_budget.h"

#include <sched.h>

#include <algorithm>
#include <thread>

namespace corv::fullmap {

size_t available_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<size_t>(count);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

size_t default_lookup_workers(size_t n_terms) { return n_terms < LOOKUP_PARALLEL_MIN ? 1 : available_cores(); }

size_t effective_lookup_budget(size_t n_terms, std::optional<size_t> threads) {
  const size_t wanted = threads ? *threads : default_lookup_workers(n_terms);
  return std::min(std::max<size_t>(n_terms, 1), std::max<size_t>(wanted, 1));
}

}  // namespace corv::fullmap
