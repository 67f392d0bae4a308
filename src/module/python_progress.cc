#include "module/python_progress.h"

#include <memory>

#include "module/gil.h"
#include "module/py_ref.h"

namespace corv::module {

PythonProgress::PythonProgress(PyObject* callable)
    : callable_(Py_NewRef(callable)), interp_(PyInterpreterState_Get()), interp_id_(current_interpreter_id()) {}

PythonProgress::~PythonProgress() { release_reference(callable_, interp_id_); }

void PythonProgress::call(fullmap::ProgressStage stage, uint64_t done, uint64_t total,
                          std::string_view message) noexcept {
  // A finalizing runtime ends any other thread that takes the GIL, and a
  // finalized one has freed the interpreter.
  if (Py_IsFinalizing() || !Py_IsInitialized()) return;
  if (PyThreadState* attached = PyThreadState_GetUnchecked()) {
    if (PyThreadState_GetInterpreter(attached) == interp_) call_attached(stage, done, total, message);
    return;
  }
  // PyGILState would attach to the main interpreter, whatever the caller's.
  PyThreadState* tstate = PyThreadState_New(interp_);
  if (tstate == nullptr) return;
  restore_thread_or_wait(tstate);
  call_attached(stage, done, total, message);
  python_or_wait([tstate] { PyThreadState_Clear(tstate); });
  PyThreadState_DeleteCurrent();
}

void PythonProgress::call_attached(fullmap::ProgressStage stage, uint64_t done, uint64_t total,
                                   std::string_view message) noexcept {
  drain_released_references();
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
      // The callable may run past the switch interval or let the GIL go,
      // where a finalizing interpreter ends the thread.
      PyRef result(python_or_wait([&] { return PyObject_Vectorcall(callable_, argv, 4, nullptr); }));
    }
    python_or_wait(PyErr_Clear);
  }
  PyErr_SetRaisedException(outer);
}

fullmap::ProgressHandle make_python_progress(PyObject* callable) { return std::make_shared<PythonProgress>(callable); }

}  // namespace corv::module
