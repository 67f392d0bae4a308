// The build's progress reports, delivered to a Python callable.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>

#include "fullmap/build/progress.h"

namespace corv::module {

// Holds a strong reference to `callable` (whatever it is; not checked for
// being callable) and the interpreter that gave it. Each call attaches the
// reporting thread to that interpreter on a thread state of its own, for the
// call's duration only, calls callable(stage, done, total, message) and
// discards the result and any exception. Once the runtime finalizes, calls
// report nothing. The reference is dropped safely from any thread (gil.h).
class PythonProgress final : public fullmap::Progress {
 public:
  // Takes a new reference; the caller holds the GIL.
  explicit PythonProgress(PyObject* callable);
  ~PythonProgress() override;
  PythonProgress(const PythonProgress&) = delete;
  PythonProgress& operator=(const PythonProgress&) = delete;

  void call(fullmap::ProgressStage stage, uint64_t done, uint64_t total, std::string_view message) noexcept override;

 private:
  void call_attached(fullmap::ProgressStage stage, uint64_t done, uint64_t total, std::string_view message) noexcept;

  PyObject* callable_;
  PyInterpreterState* interp_;
  int64_t interp_id_;
};

// Shared handle for all build threads; the caller holds the GIL.
fullmap::ProgressHandle make_python_progress(PyObject* callable);

}  // namespace corv::module
