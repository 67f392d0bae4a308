// How many threads a term lookup may use.
#pragma once

#include <cstddef>
#include <optional>

namespace corv::fullmap {

// Batches of at least this many terms default to one thread per core.
inline constexpr size_t LOOKUP_PARALLEL_MIN = 1024;

// The thread count used when the caller gives none: 1 below
// LOOKUP_PARALLEL_MIN terms, else available_cores() (common/cores.h).
size_t default_lookup_workers(size_t n_terms);

// The budget a lookup of `n_terms` actually runs with: the caller's count (or
// the default), at least 1 and at most the number of terms.
size_t effective_lookup_budget(size_t n_terms, std::optional<size_t> threads);

}  // namespace corv::fullmap
