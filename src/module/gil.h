// Releasing the GIL around long native work, and dropping Python references
// from threads that may not hold it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>

namespace corv::module {

// Releases the GIL for its scope (PyEval_SaveThread) and takes it back on
// every way out (PyEval_RestoreThread), then runs any queued reference
// releases. Touch no Python object inside the scope.
//
// Taking the GIL back while the interpreter finalizes ends the thread with
// a forced unwind (pthread_exit), which the destructor lets pass: nothing
// between it and the thread's start may be noexcept or swallow it.
class GilReleased {
 public:
  GilReleased() noexcept : state_(PyEval_SaveThread()) {}
  ~GilReleased() noexcept(false);
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
  int unwinding_ = std::uncaught_exceptions();
};

// Takes the GIL with `tstate` (PyEval_RestoreThread) from a context that
// cannot let the interpreter's forced unwind pass: should the interpreter end
// the thread there, the thread instead waits for the process to exit.
void restore_thread_or_wait(PyThreadState* tstate) noexcept;

// True when the calling thread holds the GIL (is attached).
bool gil_held() noexcept;

// The calling thread's interpreter; the caller holds the GIL. Ids are never
// reused, unlike the interpreters' addresses.
int64_t current_interpreter_id() noexcept;

// Drops one strong reference owned by interpreter `owner` from any thread.
// Unless the caller holds the GIL in that interpreter, the release is queued
// and carried out the next time a module entry point or GilReleased takes the
// GIL back in that same interpreter, so a worker thread never blocks on the
// GIL to let go, and no object is freed by another interpreter's allocator.
void release_reference(PyObject* obj, int64_t owner) noexcept;

// Carries out the releases queued for the caller's interpreter; the caller
// holds the GIL.
void drain_released_references() noexcept;

}  // namespace corv::module
