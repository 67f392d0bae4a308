#include "fullmap/store/layout.h"
#include "module/functions.h"
#include "module/hydrate_table.h"

namespace corv::module {
namespace {

constexpr const char* kParams[] = {"db"};
constexpr Signature kSignature{"hydrate_prefixes", kParams, 1};

}  // namespace

PyObject* py_hydrate_prefixes(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return hydrate_table(kSignature, args, nargsf, kwnames, [](const fullmap::ReadOnlyDatabase& db) {
    return fullmap::load_string_table(db, fullmap::kPrefixesTable);
  });
}

}  // namespace corv::module
