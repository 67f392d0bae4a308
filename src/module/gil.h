// Releasing the GIL around long native work, and dropping Python references
// from threads that may not hold it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <cstdint>
#include <exception>
#include <utility>

namespace corv::module {

// Releases the GIL for its scope (PyEval_SaveThread) and takes it back on
// every way out (PyEval_RestoreThread), then runs any queued reference
// releases. Touch no Python object inside the scope.
//
// Taking the GIL back while the interpreter finalizes ends the thread with
// a forced unwind (pthread_exit), which the destructor lets pass: nothing
// between it and the thread's start may be noexcept or swallow it, nor hold
// a reference that the unwind would drop without the GIL.
//
// A process that exits while any scope is open (a daemon thread's build or
// lookup) ends at once with its exit status: the libraries' own teardown
// would pull their state from under the native work still running.
class GilReleased {
 public:
  GilReleased() noexcept;
  ~GilReleased() noexcept(false);
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
  int unwinding_ = std::uncaught_exceptions();
};

// Parks the calling thread until the process exits.
[[noreturn]] void wait_for_exit() noexcept;

// Runs `python`, a call that may run Python code (a callable, a slot, a
// finaliser behind a decref) and so let the GIL go and take it back, from a
// context that cannot let the interpreter's forced unwind pass: a noexcept
// frame, or frames holding references that an unwind would drop without the
// GIL. Should a finalizing interpreter end the thread inside it, the thread
// instead waits there for the process to exit; rethrowing would end the
// process, and returning would run on with a finalized interpreter. The
// unwind carries no object for the handler's reference to bind, hence the
// sanitizer exemption.
template <class Fn>
[[gnu::no_sanitize("null")]] decltype(auto) python_or_wait(Fn&& python) {
  try {
    return std::forward<Fn>(python)();
  } catch (abi::__forced_unwind&) {
    wait_for_exit();
  }
}

// Takes the GIL with `tstate` (PyEval_RestoreThread), waiting for the
// process to exit should the interpreter end the thread there.
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
