#include "common/source_version.h"
#include "module/errors.h"
#include "module/functions.h"

namespace corv::module {

PyObject* py_fullmap_source_version(PyObject*, PyObject*) {
  return boundary([]() -> PyObject* {
    return PyUnicode_FromStringAndSize(kFullmapSourceVersion.data(),
                                       static_cast<Py_ssize_t>(kFullmapSourceVersion.size()));
  });
}

}  // namespace corv::module
