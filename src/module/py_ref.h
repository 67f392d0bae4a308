// Owning handle of one strong Python reference. Only for code that holds the
// GIL; a reference that may be dropped without it goes through
// release_reference (gil.h) instead. Dropping one may run a finaliser, and
// destructors cannot let the interpreter's forced unwind pass.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "module/gil.h"

namespace corv::module {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (nullptr allowed).
  explicit PyRef(PyObject* owned) : obj_(owned) {}
  static PyRef borrow(PyObject* borrowed) { return PyRef(Py_XNewRef(borrowed)); }

  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      drop();
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { drop(); }

  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  void drop() noexcept {
    if (obj_ == nullptr) return;
    // Only dropping the last reference can run a finaliser; the others
    // need no guard.
    if (Py_REFCNT(obj_) > 1) {
      Py_DECREF(obj_);
    } else {
      python_or_wait([this] { Py_DECREF(obj_); });
    }
  }

  PyObject* obj_ = nullptr;
};

}  // namespace corv::module
