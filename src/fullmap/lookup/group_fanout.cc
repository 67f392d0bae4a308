#include "fullmap/lookup/group_fanout.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "common/thread_group.h"

namespace corv::fullmap {
namespace {

// A thread's group and hits, shared with the caller, so a caller that stops
// waiting frees nothing the thread still uses.
struct GroupTask {
  ShardGroup group;
  GroupHits hits;
};

}  // namespace

Result<std::vector<GroupHits>> read_groups(std::vector<ShardGroup> groups, size_t threads, const GroupReader& reader) {
  const size_t spawned = std::min(threads, groups.size());
  // Threads not joined when the read ends (early, on a failure or a fault)
  // are let go to finish on their own.
  ThreadGroup started(ThreadGroup::Wait::kUntilFailure);
  std::vector<std::shared_ptr<GroupTask>> tasks;
  tasks.reserve(spawned);
  for (size_t i = 0; i < spawned; ++i) {
    auto task = std::make_shared<GroupTask>(GroupTask{std::move(groups[i]), {}});
    CORV_TRY(started.spawn([task, reader]() -> Status {
      auto hits = reader(task->group);
      if (!hits) return fail(std::move(hits.error()));
      task->hits = std::move(*hits);
      return {};
    }));
    tasks.push_back(std::move(task));
  }

  std::vector<GroupHits> collected;
  collected.reserve(groups.size());
  for (size_t i = spawned; i < groups.size(); ++i) {
    auto hits = reader(groups[i]);
    if (!hits) return std::unexpected(std::move(hits.error()));
    collected.push_back(std::move(*hits));
  }

  CORV_TRY(started.join(kLookupThreadPanicked));
  for (auto& task : tasks) collected.push_back(std::move(task->hits));
  return collected;
}

}  // namespace corv::fullmap
