#include "fullmap/lookup/thread_budget.h"

#include <algorithm>

#include "common/cores.h"

namespace corv::fullmap {

size_t default_lookup_workers(size_t n_terms) { return n_terms < LOOKUP_PARALLEL_MIN ? 1 : available_cores(); }

size_t effective_lookup_budget(size_t n_terms, std::optional<size_t> threads) {
  const size_t wanted = threads ? *threads : default_lookup_workers(n_terms);
  return std::min(std::max<size_t>(n_terms, 1), std::max<size_t>(wanted, 1));
}

}  // namespace corv::fullmap
