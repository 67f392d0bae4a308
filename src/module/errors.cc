#include "module/errors.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "module/py_ref.h"

namespace corv::module {
namespace {

constexpr const char* kPanicDoc =
    "Raised when native code called from Python panics: an internal fault that the\n"
    "module did not expect. It derives from BaseException, so `except Exception`\n"
    "does not swallow it.";

PyObject* exception_type(ErrorType type) {
  switch (type) {
    case ErrorType::kValue: return PyExc_ValueError;
    case ErrorType::kType: return PyExc_TypeError;
    case ErrorType::kOverflow: return PyExc_OverflowError;
    case ErrorType::kPanic: return panic_exception_type();
    case ErrorType::kRuntime: break;
  }
  return PyExc_RuntimeError;
}

// Native texts are meant to be UTF-8; a stray byte must not hide the error.
PyRef message_object(std::string_view text) {
  return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyObject* set_error(PyObject* type, std::string_view text) {
  if (type == nullptr) return nullptr;  // its own creation failure is already set
  PyRef msg = message_object(text);
  if (msg) PyErr_SetObject(type, msg.get());
  return nullptr;
}

}  // namespace

PyObject* panic_exception_type() {
  static std::atomic<PyObject*> cached{nullptr};
  if (PyObject* type = cached.load(std::memory_order_acquire)) return type;
  PyObject* created =
      PyErr_NewExceptionWithDoc("corvantile_native.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  if (created == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!cached.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return expected;
  }
  return created;  // held for the life of the process
}

PyObject* raise(const Error& error) { return set_error(exception_type(error.type), error.message); }

PyObject* raise_panic(std::string_view message) { return set_error(panic_exception_type(), message); }

void note_parameter(const char* parameter) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  PyRef note(PyUnicode_FromFormat("while processing '%s'", parameter));
  PyRef done =
      note ? PyRef(python_or_wait([&] { return PyObject_CallMethod(exc, "add_note", "O", note.get()); })) : PyRef();
  if (!done) python_or_wait(PyErr_Clear);  // the original failure matters more than its note
  PyErr_SetRaisedException(exc);
}

void abort_uncaught_panic() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::abort();
}

}  // namespace corv::module
