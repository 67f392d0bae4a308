#include "module/convert.h"

#include <algorithm>
#include <limits>

#include "module/gil.h"
#include "module/python_progress.h"

namespace corv::module {
namespace {

// An object's own __len__ only hints at the size; do not let it reserve
// unbounded memory.
constexpr Py_ssize_t kMaxUntrustedReserve = Py_ssize_t{1} << 16;

bool is_sequence(PyObject* obj) {
  if (PySequence_Check(obj)) return true;
  PyRef abc(python_or_wait([] { return PyImport_ImportModule("collections.abc"); }));
  if (!abc) return false;
  PyRef sequence(python_or_wait([&] { return PyObject_GetAttrString(abc.get(), "Sequence"); }));
  if (!sequence) return false;
  const int r = python_or_wait([&] { return PyObject_IsInstance(obj, sequence.get()); });
  return r == 1;
}

template <class T, class Item>
bool to_list(PyObject* obj, std::vector<T>& out, Item item) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!is_sequence(obj)) {
    if (PyErr_Occurred()) return false;
    return not_an_instance(obj, "Sequence");
  }
  out.clear();
  const Py_ssize_t len = python_or_wait([obj] { return PyObject_Size(obj); });
  if (len < 0) {
    python_or_wait(PyErr_Clear);
  } else {
    const bool exact = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
    out.reserve(static_cast<size_t>(exact ? len : std::min(len, kMaxUntrustedReserve)));
  }
  PyRef iter(python_or_wait([obj] { return PyObject_GetIter(obj); }));
  if (!iter) return false;
  while (PyRef value{python_or_wait([&iter] { return PyIter_Next(iter.get()); })}) {
    if (!item(value.get(), out.emplace_back())) return false;
  }
  return !PyErr_Occurred();
}

// Recognised by name so that numpy need not be importable, or imported.
bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  PyRef name(PyType_GetName(type));
  PyRef module(
      python_or_wait([type] { return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"); }));
  if (!name || !module) {
    python_or_wait(PyErr_Clear);
    return false;
  }
  return (PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool")) &&
         PyUnicode_Check(module.get()) && PyUnicode_EqualToUTF8(module.get(), "numpy");
}

}  // namespace

bool not_an_instance(PyObject* obj, const char* target) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
    return false;
  }
  PyRef qualname(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), target);
  return false;
}

bool to_path(PyObject* obj, std::filesystem::path& out) {
  PyRef fspath(python_or_wait([obj] { return PyOS_FSPath(obj); }));
  if (!fspath) return false;
  if (!PyUnicode_Check(fspath.get())) return not_an_instance(fspath.get(), "str");
  PyRef encoded(PyUnicode_EncodeFSDefault(fspath.get()));
  if (!encoded) return false;
  const std::string_view bytes(PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
  // The system calls would stop at the NUL and open another file than the
  // one named; refuse the path as Python's own file functions do.
  if (bytes.find('\0') != std::string_view::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  out = std::filesystem::path(std::string(bytes));
  return true;
}

bool to_str(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) return not_an_instance(obj, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<size_t>(size));
  return true;
}

bool to_u32(PyObject* obj, uint32_t& out) {
  const long value = python_or_wait([obj] { return PyLong_AsLong(obj); });
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > long{std::numeric_limits<uint32_t>::max()}) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<uint32_t>(value);
  return true;
}

bool to_usize(PyObject* obj, size_t& out) {
  static_assert(sizeof(size_t) == sizeof(unsigned long long));
  PyRef index(python_or_wait([obj] { return PyNumber_Index(obj); }));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = static_cast<size_t>(value);
  return true;
}

bool to_bool(PyObject* obj, bool& out) {
  if (obj == Py_True || obj == Py_False) {
    out = obj == Py_True;
    return true;
  }
  if (is_numpy_bool(obj)) {
    const int truth = python_or_wait([obj] { return PyObject_IsTrue(obj); });
    if (truth < 0) return false;
    out = truth == 1;
    return true;
  }
  return not_an_instance(obj, "bool | numpy.bool_");
}

bool to_object(PyObject* obj, PyRef& out) {
  out = PyRef::borrow(obj);
  return true;
}

bool to_progress(PyObject* obj, fullmap::ProgressHandle& out) {
  out = make_python_progress(obj);
  return true;
}

bool to_path_list(PyObject* obj, std::vector<std::filesystem::path>& out) { return to_list(obj, out, to_path); }
bool to_str_list(PyObject* obj, std::vector<std::string>& out) { return to_list(obj, out, to_str); }
bool to_u32_list(PyObject* obj, std::vector<uint32_t>& out) { return to_list(obj, out, to_u32); }

}  // namespace corv::module
