// Releasing the GIL around long native work, and dropping Python references
// from threads that may not hold it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace corv::module {

// Releases the GIL for its scope (PyEval_SaveThread) and takes it back on
// every way out (PyEval_RestoreThread), then runs any queued reference
// releases. Touch no Python object inside the scope.
class GilReleased {
 public:
  GilReleased() noexcept : state_(PyEval_SaveThread()) {}
  ~GilReleased();
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Attaches the calling thread to the interpreter for its scope; usable from
// threads Python never saw and re-entrant on threads that already hold it.
class GilHeld {
 public:
  GilHeld() noexcept : state_(PyGILState_Ensure()) {}
  ~GilHeld() { PyGILState_Release(state_); }
  GilHeld(const GilHeld&) = delete;
  GilHeld& operator=(const GilHeld&) = delete;

 private:
  PyGILState_STATE state_;
};

// True when the calling thread holds the GIL (is attached).
bool gil_held() noexcept;

// Drops one strong reference from any thread. Without the GIL the release is
// queued and carried out the next time a module entry point or GilReleased
// takes it back, so a worker thread never blocks on the GIL to let go.
void release_reference(PyObject* obj) noexcept;

// Carries out queued releases; the caller holds the GIL.
void drain_released_references() noexcept;

}  // namespace corv::module
