#include "module/gil.h"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

namespace corv::module {
namespace {

struct ReleaseQueue {
  std::mutex mu;
  std::vector<PyObject*> pending;
  std::atomic<bool> nonempty{false};
};

ReleaseQueue& release_queue() {
  static ReleaseQueue* queue = new ReleaseQueue;  // never destroyed: outlives interpreter shutdown
  return *queue;
}

}  // namespace

GilReleased::~GilReleased() {
  PyEval_RestoreThread(state_);
  drain_released_references();
}

bool gil_held() noexcept { return PyThreadState_GetUnchecked() != nullptr; }

void release_reference(PyObject* obj) noexcept {
  if (obj == nullptr) return;
  if (gil_held()) {
    Py_DECREF(obj);
    return;
  }
  ReleaseQueue& q = release_queue();
  std::lock_guard lock(q.mu);
  try {
    q.pending.push_back(obj);
    q.nonempty.store(true, std::memory_order_release);
  } catch (...) {
    // Out of memory: leaking one reference beats touching Python unlocked.
  }
}

void drain_released_references() noexcept {
  ReleaseQueue& q = release_queue();
  if (!q.nonempty.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard lock(q.mu);
    batch.swap(q.pending);
    q.nonempty.store(false, std::memory_order_relaxed);
  }
  // A finaliser may raise or inspect the error indicator; keep the caller's.
  PyObject* pending_exc = PyErr_GetRaisedException();
  for (PyObject* obj : batch) Py_DECREF(obj);
  PyErr_SetRaisedException(pending_exc);
}

}  // namespace corv::module
