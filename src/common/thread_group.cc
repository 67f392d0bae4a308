#include "common/thread_group.h"

#include <string>
#include <system_error>
#include <utility>

namespace corv {

constexpr std::string_view kSpawnFailed = "failed to spawn thread: ";

Error spawn_failure(int error) { return Error::panic(std::string(kSpawnFailed) + Error::io(error).message); }

ThreadGroup::~ThreadGroup() {
  for (Started& t : threads_) {
    if (!t.thread.joinable()) continue;
    if (wait_ == Wait::kAll) {
      t.thread.join();
    } else {
      t.thread.detach();
    }
  }
}

Status ThreadGroup::spawn(std::function<Status()> body) {
  auto started = try_spawn(std::move(body));
  if (!started) return fail(spawn_failure(started.error()));
  return {};
}

std::expected<void, int> ThreadGroup::try_spawn(std::function<Status()> body) {
  auto outcome = std::make_shared<Outcome>();
  // Room first: a started thread must never be lost to a failed push_back.
  if (threads_.size() == threads_.capacity()) threads_.reserve(2 * threads_.size() + 1);
  try {
    std::thread thread([outcome, body = std::move(body)]() mutable {
      try {
        outcome->status = body();
      } catch (...) {
        outcome->fault = std::current_exception();
      }
      // Drop what the body holds (channel ends above all) before the thread
      // winds down, so that peers see it gone as early as possible.
      body = nullptr;
    });
    threads_.push_back({std::move(thread), std::move(outcome)});
  } catch (const std::system_error& e) {
    return std::unexpected(e.code().value());
  }
  return {};
}

Status ThreadGroup::join_threads(const std::string_view* panic_message) {
  Status first;
  for (Started& t : threads_) {
    if (!t.thread.joinable()) continue;
    t.thread.join();
    if (!first) continue;
    if (t.outcome->fault) {
      if (panic_message == nullptr) std::rethrow_exception(t.outcome->fault);
      first = fail_runtime(std::string(*panic_message));
    } else if (!t.outcome->status) {
      first = std::move(t.outcome->status);
    }
    if (!first && wait_ == Wait::kUntilFailure) break;
  }
  return first;
}

}  // namespace corv
