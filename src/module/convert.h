// Python value -> owned native value. Each converter returns false with the
// Python exception set; BoundArgs adds the parameter note.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "fullmap/build/progress.h"
#include "module/py_ref.h"

namespace corv::module {

// str or os.PathLike yielding str; the file-system encoding's bytes, as given.
bool to_path(PyObject* obj, std::filesystem::path& out);
// str (or subclass) as UTF-8.
bool to_str(PyObject* obj, std::string& out);
// int or __index__ object within 0..2^32-1.
bool to_u32(PyObject* obj, uint32_t& out);
// int or __index__ object within 0..2^64-1.
bool to_usize(PyObject* obj, size_t& out);
// Exactly True/False, or a numpy boolean scalar.
bool to_bool(PyObject* obj, bool& out);
// Any object, as a new strong reference.
bool to_object(PyObject* obj, PyRef& out);
// Any object, held for a build's progress reports (python_progress.h).
bool to_progress(PyObject* obj, fullmap::ProgressHandle& out);

// A sequence other than str, converted item by item in iteration order.
bool to_path_list(PyObject* obj, std::vector<std::filesystem::path>& out);
bool to_str_list(PyObject* obj, std::vector<std::string>& out);
bool to_u32_list(PyObject* obj, std::vector<uint32_t>& out);

// Sets TypeError "'{type}' object is not an instance of '{target}'" (or
// "'None' is not an instance of '{target}'") and returns false.
bool not_an_instance(PyObject* obj, const char* target);

}  // namespace corv::module
