// Module definition and registration of the ten functions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdexcept>

#include "module/convert.h"
#include "module/errors.h"
#include "module/functions.h"
#include "module/py_ref.h"

namespace corv::module {
namespace {

template <class Fn>
PyCFunction as_cfunction(Fn* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
constexpr int kNoArgs = METH_NOARGS | METH_STATIC;
static_assert(kFastCall == 0xa2 && kNoArgs == 0x24);

constexpr const char* kLookupDoc =
    "lookup_fullmap_terms(db, terms, threads=None, return_format=\"rows\")\n--\n\n"
    "Look up fullmap records for `terms`.\n"
    "`threads=None` (the default of the production build-kg run) picks the worker count via\n"
    "`default_lookup_workers`: batches of at least `LOOKUP_PARALLEL_MIN` terms fan out across\n"
    "the record shards in parallel (up to 16 by default); smaller batches stay single-threaded.\n"
    "An explicit thread count of 1 always forces the serial path.\n"
    "The GIL is released for the whole lookup.";

constexpr const char* kXxh64Doc =
    "xxh64(data)\n--\n\n"
    "XXH64 hex digest (seed 0) of a string's UTF-8 bytes.\n"
    "\n"
    "The result equals the lower-case, zero-padded 16-character hex digest that the Python\n"
    "`xxhash` package's `xxh64` gives for the string's UTF-8 encoding, so callers need not\n"
    "depend on that package. This is the content-hash primitive behind `corvantile.utils.mkhash`.";

// Registration order is the order of __all__.
PyMethodDef kMethods[] = {
    {"build_fullmap_db", as_cfunction(py_build_fullmap_db), kFastCall,
     "build_fullmap_db(output, classes, synonyms, threads=None, progress=None)\n--\n\n"},
    {"fullmap_source_version", as_cfunction(py_fullmap_source_version), kNoArgs, "fullmap_source_version()\n--\n\n"},
    {"hydrate_categories", as_cfunction(py_hydrate_categories), kFastCall, "hydrate_categories(db)\n--\n\n"},
    {"hydrate_curies", as_cfunction(py_hydrate_curies), kFastCall, "hydrate_curies(db, curie_ids)\n--\n\n"},
    {"hydrate_prefixes", as_cfunction(py_hydrate_prefixes), kFastCall, "hydrate_prefixes(db)\n--\n\n"},
    {"hydrate_sources", as_cfunction(py_hydrate_sources), kFastCall, "hydrate_sources(db)\n--\n\n"},
    {"lookup_fullmap_terms", as_cfunction(py_lookup_fullmap_terms), kFastCall, kLookupDoc},
    {"dedup_ndjson", as_cfunction(py_dedup_ndjson), kFastCall,
     "dedup_ndjson(input, output, is_edges, domain=None)\n--\n\n"},
    {"namespace_uuid", as_cfunction(py_namespace_uuid), kFastCall, "namespace_uuid(domain, values)\n--\n\n"},
    {"xxh64", as_cfunction(py_xxh64), kFastCall, kXxh64Doc},
};

// Borrowed __all__, created empty when missing. nullptr with an exception set.
PyObject* module_all(PyObject* module) {
  PyObject* all = nullptr;
  const int found = PyObject_GetOptionalAttrString(module, "__all__", &all);
  if (found < 0) return nullptr;
  if (found == 0) {
    all = PyList_New(0);
    if (all == nullptr) return nullptr;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return nullptr;
    }
  }
  PyRef owned(all);
  if (!PyList_Check(all)) {
    not_an_instance(all, "list");
    return nullptr;
  }
  return all;  // the module keeps it alive
}

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef& def) {
  PyRef fn(PyCMethod_New(&def, module, module_name, nullptr));
  if (!fn) return false;
  PyRef name(PyObject_GetAttrString(fn.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) return not_an_instance(name.get(), "str");
  PyObject* all = module_all(module);
  if (all == nullptr) return false;
  if (PyList_Append(all, name.get()) < 0) {
    throw std::runtime_error("could not append __name__ to __all__");
  }
  return PyObject_SetAttr(module, name.get(), fn.get()) == 0;
}

bool rs(PyObject* module) {
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (PyMethodDef& def : kMethods) {
    if (!add_function(module, module_name.get(), def)) return false;
  }
  return true;
}

int module_exec(PyObject* module) {
  return boundary_status([&] {
    if (!PyModule_Check(module)) {
      not_an_instance(module, "module");
      return -1;
    }
    return rs(module) ? 0 : -1;
  });
}

// Subinterpreters that share the main interpreter's allocator (the legacy
// kind) are served; those with allocators of their own are refused at import,
// since PanicException is one class for the whole process.
PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "rs", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace corv::module

PyMODINIT_FUNC PyInit_rs(void) { return PyModuleDef_Init(&corv::module::kModule); }
