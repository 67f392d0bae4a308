// Growing Abseil hash tables so that running out of memory leaves them whole.
//
// An insert into a full table records the doubled capacity before it
// allocates the new array; when that allocation throws, the table is left
// describing memory it does not own and its destructor crashes. The same
// holds for an element whose construction throws after its slot is claimed.
// So tables that grow while memory may run out take three rules:
//  - make_room(t) before each insert that may add a key: the table grows
//    through a newly constructed one, where a throw leaves nothing half
//    built, and the insert then never grows it itself;
//  - an inserted element is built beforehand and moved in (no throw);
//  - no erase() or extract() without a clear() after it: the tombstones
//    they leave make Abseil grow sooner than the count here says. clear()
//    wipes them (and frees a table larger than 127 slots).
// table_with_room<T>(n) replaces reserve(), which grows as an insert does.
#pragma once

#include <cstddef>

#include "absl/base/config.h"
#include "absl/container/internal/raw_hash_set.h"

// The count below mirrors this release's growth rule; another must be checked.
#if ABSL_LTS_RELEASE_VERSION != 20220623
#error "check that make_room() still matches Abseil's growth rule (CapacityToGrowth)"
#endif

namespace corv {

// Elements `table` holds when the next new key would make Abseil grow it.
template <class Table>
size_t growth_limit(const Table& table) {
  const size_t capacity = table.capacity();
  return capacity == 0 ? 0 : absl::container_internal::CapacityToGrowth(capacity);
}

// Abseil's own next capacity, 2c + 1. Moving the elements over allocates
// nothing: the new table already has room for all of them.
template <class Table>
[[gnu::noinline, gnu::cold]] void grow_table(Table& table) {
  Table bigger(table.capacity() * 2 + 1, table.hash_function(), table.key_eq(), table.get_allocator());
  bigger.merge(table);
  table.swap(bigger);
}

template <class Table>
inline void make_room(Table& table) {
  if (table.size() >= growth_limit(table)) [[unlikely]] {
    grow_table(table);
  }
}

// An empty table that takes `n` elements without growing.
template <class Table>
Table table_with_room(size_t n) {
  return Table(n == 0 ? 0 : absl::container_internal::GrowthToLowerboundCapacity(n));
}

}  // namespace corv
