// Runs per-shard groups of a lookup on threads: the first `threads` groups
// each on a new thread, the rest on the calling thread, in order.
//
// On the first failure the call returns without waiting for the threads not
// yet joined. They finish on their own: each owns its group, its reader and
// a share of the query terms through a shared task, so nothing they touch
// belongs to the caller.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "fullmap/lookup/pair_lookup.h"
#include "fullmap/store/read_only_database.h"

namespace corv::fullmap {

inline constexpr std::string_view kLookupThreadPanicked = "fullmap lookup thread panicked";

// The terms of one shard, with a reference to that shard and to the whole
// query.
struct ShardGroup {
  SharedDatabase shard;
  std::shared_ptr<const std::vector<std::string>> terms;
  std::vector<TermProbe> probes;  // in input order
};

using GroupHits = std::vector<PostingsHit>;

// Reads one group. Runs on a lookup thread or on the calling thread; may be
// called from several threads at once.
using GroupReader = std::function<Result<GroupHits>(const ShardGroup&)>;

// Reads `groups` (non-empty, in shard order) with at most `threads` threads
// and returns each group's hits, groups in no particular order. The first
// failure wins in this order: a group read on the calling thread, then the
// threads as joined in start order (an exception escaping a thread is
// kLookupThreadPanicked). A thread that cannot be started is an internal
// fault (ErrorType::kPanic).
Result<std::vector<GroupHits>> read_groups(std::vector<ShardGroup> groups, size_t threads, const GroupReader& reader);

}  // namespace corv::fullmap
