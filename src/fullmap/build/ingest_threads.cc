#include "fullmap/build/ingest_threads.h"

#include <system_error>
#include <utility>

namespace corv::fullmap {

ThreadScope::~ThreadScope() {
  for (Started& t : threads_) {
    if (t.thread.joinable()) t.thread.join();
  }
}

Status ThreadScope::spawn(std::function<Status()> body) {
  auto outcome = std::make_unique<Outcome>();
  Outcome* slot = outcome.get();
  threads_.reserve(threads_.size() + 1);
  try {
    std::thread thread([slot, body = std::move(body)]() mutable {
      try {
        slot->status = body();
      } catch (...) {
        slot->panicked = true;
      }
      // Drop what the body holds (channel ends above all) before the thread
      // winds down, so that peers see it gone as early as possible.
      body = nullptr;
    });
    threads_.push_back({std::move(thread), std::move(outcome)});
  } catch (const std::system_error& e) {
    return fail(Error::panic("failed to spawn thread: " + Error::io(e.code().value()).message));
  }
  return {};
}

Status ThreadScope::join_all(const char* panic_message) {
  Status first;
  for (Started& t : threads_) {
    if (!t.thread.joinable()) continue;
    t.thread.join();
    if (!first) continue;
    if (t.outcome->panicked) {
      first = fail_runtime(panic_message);
    } else if (!t.outcome->status) {
      first = std::move(t.outcome->status);
    }
  }
  return first;
}

}  // namespace corv::fullmap
