#include "fullmap/lookup/group_fanout.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace corv::fullmap {
namespace {

// Everything a lookup thread touches. Shared between the thread and the
// caller, so a caller that stops waiting frees nothing the thread still uses.
struct GroupTask {
  ShardGroup group;
  GroupReader reader;
  std::optional<Result<GroupHits>> result;  // stays empty if the reader threw
};

void run_task(GroupTask& task) noexcept {
  try {
    task.result.emplace(task.reader(task.group));
  } catch (...) {
    task.result.reset();
  }
}

// Threads not joined when the read ends (early, on a failure or a fault) are
// let go to finish on their own.
class StartedThreads {
 public:
  StartedThreads() = default;
  StartedThreads(const StartedThreads&) = delete;
  StartedThreads& operator=(const StartedThreads&) = delete;
  ~StartedThreads() {
    for (std::thread& t : threads_) {
      if (t.joinable()) t.detach();
    }
  }

  void reserve(size_t n) {
    threads_.reserve(n);
    tasks_.reserve(n);
  }
  void add(std::thread thread, std::shared_ptr<GroupTask> task) {
    threads_.push_back(std::move(thread));
    tasks_.push_back(std::move(task));
  }
  size_t size() const { return threads_.size(); }
  // Waits for thread i; its task is then the caller's alone.
  GroupTask& join(size_t i) {
    threads_[i].join();
    return *tasks_[i];
  }

 private:
  std::vector<std::thread> threads_;
  std::vector<std::shared_ptr<GroupTask>> tasks_;
};

}  // namespace

Result<std::vector<GroupHits>> read_groups(std::vector<ShardGroup> groups, size_t threads, const GroupReader& reader) {
  const size_t spawned = std::min(threads, groups.size());
  StartedThreads started;
  started.reserve(spawned);
  for (size_t i = 0; i < spawned; ++i) {
    auto task = std::make_shared<GroupTask>(GroupTask{std::move(groups[i]), reader, std::nullopt});
    try {
      std::thread thread([task] { run_task(*task); });
      started.add(std::move(thread), std::move(task));
    } catch (const std::system_error& e) {
      return fail(Error::panic(std::string("failed to spawn thread: ") + e.what()));
    }
  }

  std::vector<GroupHits> collected;
  collected.reserve(groups.size());
  for (size_t i = spawned; i < groups.size(); ++i) {
    auto hits = reader(groups[i]);
    if (!hits) return std::unexpected(std::move(hits.error()));
    collected.push_back(std::move(*hits));
  }

  for (size_t i = 0; i < started.size(); ++i) {
    GroupTask& task = started.join(i);
    if (!task.result) return fail_runtime(std::string(kLookupThreadPanicked));
    if (!*task.result) return std::unexpected(std::move(task.result->error()));
    collected.push_back(std::move(**task.result));
  }
  return collected;
}

}  // namespace corv::fullmap
