#include <filesystem>
#include <utility>

#include "fullmap/lookup/tables.h"
#include "fullmap/store/db_cache.h"
#include "fullmap/store/layout.h"
#include "module/args.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/fullmap_results.h"
#include "module/functions.h"

namespace corv::module {
namespace {

constexpr const char* kParams[] = {"db"};
constexpr Signature kSignature{"hydrate_categories", kParams, 1};

struct HydrateTableArgs {
  std::filesystem::path db;
};

bool convert_args(const BoundArgs& bound, HydrateTableArgs& out) { return bound.convert(0, out.db, to_path); }

PyObject* run(HydrateTableArgs args) {
  auto db = fullmap::open_cached(std::move(args.db));
  if (!db) return raise(db.error());
  auto table = fullmap::load_string_table(**db, fullmap::kCategoriesTable);
  db->reset();
  if (!table) return raise(table.error());
  return str_list(fullmap::names_by_id(*table));
}

}  // namespace

PyObject* py_hydrate_categories(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    BoundArgs bound;
    HydrateTableArgs converted;
    if (!bound.bind(kSignature, args, nargsf, kwnames) || !convert_args(bound, converted)) return nullptr;
    return run(std::move(converted));
  });
}

}  // namespace corv::module
