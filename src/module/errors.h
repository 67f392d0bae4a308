// How failures leave the module: an Error becomes its Python exception, and
// a C++ exception escaping an operation on the caller's thread becomes
// PanicException at the function boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <string_view>

#include "common/status.h"
#include "module/gil.h"

namespace corv::module {

// The process-wide PanicException class (a direct BaseException subclass,
// deliberately not a module attribute). Borrowed; nullptr with an exception
// set only if it could not be created.
PyObject* panic_exception_type();

// Set the Python exception for `error` (RuntimeError, ValueError, TypeError,
// OverflowError or PanicException) and return nullptr, for `return raise(e);`.
PyObject* raise(const Error& error);
PyObject* raise_panic(std::string_view message);

// Attach "while processing '{parameter}'" to the pending exception.
void note_parameter(const char* parameter);

[[noreturn]] void abort_uncaught_panic() noexcept;

// Every wrapper runs its body through this: a C++ exception is turned into
// PanicException on the calling thread; a fault while doing so aborts. Only
// the interpreter's own end of the thread (a forced unwind, see GilReleased)
// passes through, as it would through the interpreter's frames. That unwind
// carries no object, so the sanitizer's null check would flag the handler's
// reference, which the C++ runtime prescribes for catching it.
template <class Body>
[[gnu::no_sanitize("null")]] PyObject* boundary(Body&& body) {
  try {
    drain_released_references();
    try {
      return body();
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (const std::exception& e) {
      return raise_panic(e.what());
    } catch (...) {
      return raise_panic("native code panicked with a non-text payload");
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    abort_uncaught_panic();
  }
}

// Same contract for entry points that report failure as -1 (module exec slot).
template <class Body>
int boundary_status(Body&& body) noexcept {
  try {
    try {
      return body();
    } catch (const std::exception& e) {
      raise_panic(e.what());
      return -1;
    } catch (...) {
      raise_panic("native code panicked with a non-text payload");
      return -1;
    }
  } catch (...) {
    abort_uncaught_panic();
  }
}

}  // namespace corv::module
