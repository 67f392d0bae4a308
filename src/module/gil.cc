#include "module/gil.h"

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

namespace corv::module {
namespace {

struct Queued {
  PyObject* obj;
  int64_t owner;
};

struct ReleaseQueue {
  std::mutex mu;
  std::vector<Queued> pending;
  std::atomic<bool> nonempty{false};
};

ReleaseQueue& release_queue() {
  static ReleaseQueue* queue = new ReleaseQueue;  // never destroyed: outlives interpreter shutdown
  return *queue;
}

// Scopes open with the GIL released, in every thread.
std::atomic<int64_t> native_scopes{0};

// Runs as the process exits, before the libraries' static destructors. The
// interpreter has finalized by then, so no scope opens after the check.
void exit_at_once_during_native_work(int status, void*) {
  if (native_scopes.load(std::memory_order_acquire) == 0) return;
  std::fflush(nullptr);  // what exit itself would still write out
  ::_exit(status);
}

}  // namespace

GilReleased::GilReleased() noexcept {
  [[maybe_unused]] static const int registered = ::on_exit(exit_at_once_during_native_work, nullptr);
  // Counted before the GIL goes, so an exit that follows finalization sees it.
  native_scopes.fetch_add(1, std::memory_order_relaxed);
  state_ = PyEval_SaveThread();
}

void wait_for_exit() noexcept {
  for (;;) ::pause();
}

GilReleased::~GilReleased() noexcept(false) {
  native_scopes.fetch_sub(1, std::memory_order_release);
  // A second unwind cannot start while an exception is already in flight.
  if (std::uncaught_exceptions() > unwinding_) {
    restore_thread_or_wait(state_);
  } else {
    PyEval_RestoreThread(state_);
  }
  drain_released_references();
}

void restore_thread_or_wait(PyThreadState* tstate) noexcept {
  python_or_wait([tstate] { PyEval_RestoreThread(tstate); });
}

bool gil_held() noexcept { return PyThreadState_GetUnchecked() != nullptr; }

int64_t current_interpreter_id() noexcept { return PyInterpreterState_GetID(PyInterpreterState_Get()); }

void release_reference(PyObject* obj, int64_t owner) noexcept {
  if (obj == nullptr) return;
  if (gil_held() && current_interpreter_id() == owner) {
    python_or_wait([obj] { Py_DECREF(obj); });
    return;
  }
  ReleaseQueue& q = release_queue();
  std::lock_guard lock(q.mu);
  try {
    q.pending.push_back({obj, owner});
    q.nonempty.store(true, std::memory_order_release);
  } catch (...) {
    // Out of memory: leaking one reference beats touching Python unlocked.
  }
}

void drain_released_references() noexcept {
  ReleaseQueue& q = release_queue();
  if (!q.nonempty.load(std::memory_order_acquire)) return;
  const int64_t here = current_interpreter_id();
  std::vector<PyObject*> batch;
  {
    std::lock_guard lock(q.mu);
    // Another interpreter's references wait for it; those of one that has
    // gone stay queued, leaked.
    auto kept = q.pending.begin();
    for (const Queued& entry : q.pending) {
      if (entry.owner != here) {
        *kept++ = entry;
        continue;
      }
      try {
        batch.push_back(entry.obj);
      } catch (...) {
        *kept++ = entry;  // out of memory: released by a later drain
      }
    }
    q.pending.erase(kept, q.pending.end());
    q.nonempty.store(!q.pending.empty(), std::memory_order_relaxed);
  }
  if (batch.empty()) return;
  // A finaliser may raise or inspect the error indicator; keep the caller's.
  PyObject* pending_exc = PyErr_GetRaisedException();
  python_or_wait([&batch] {
    for (PyObject* obj : batch) Py_DECREF(obj);
  });
  PyErr_SetRaisedException(pending_exc);
}

}  // namespace corv::module
