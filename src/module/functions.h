// The ten Python entry points, one file each (fn_<name>.cc). All but
// py_fullmap_source_version are METH_FASTCALL | METH_KEYWORDS functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace corv::module {

PyObject* py_build_fullmap_db(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* py_fullmap_source_version(PyObject* self, PyObject* unused);
PyObject* py_hydrate_categories(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* py_hydrate_curies(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* py_hydrate_prefixes(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* py_hydrate_sources(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* py_lookup_fullmap_terms(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* py_dedup_ndjson(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* py_namespace_uuid(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* py_xxh64(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace corv::module
