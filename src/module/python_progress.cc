#include "module/python_progress.h"

#include <memory>

#include "module/gil.h"
#include "module/py_ref.h"

namespace corv::module {

PythonProgress::PythonProgress(PyObject* callable) : callable_(Py_NewRef(callable)) {}

PythonProgress::~PythonProgress() { release_reference(callable_); }

void PythonProgress::call(fullmap::ProgressStage stage, uint64_t done, uint64_t total,
                          std::string_view message) noexcept {
  GilHeld gil;
  drain_released_references();
  // Build threads only; one already attached would keep its own error state.
  PyObject* outer = PyErr_GetRaisedException();
  {
    PyRef args[4] = {
        PyRef(PyLong_FromLong(static_cast<long>(stage))),
        PyRef(PyLong_FromUnsignedLongLong(done)),
        PyRef(PyLong_FromUnsignedLongLong(total)),
        PyRef(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace")),
    };
    if (args[0] && args[1] && args[2] && args[3]) {
      PyObject* argv[4] = {args[0].get(), args[1].get(), args[2].get(), args[3].get()};
      PyRef result(PyObject_Vectorcall(callable_, argv, 4, nullptr));
    }
    PyErr_Clear();
  }
  PyErr_SetRaisedException(outer);
}

fullmap::ProgressHandle make_python_progress(PyObject* callable) { return std::make_shared<PythonProgress>(callable); }

}  // namespace corv::module
