#include <cstdint>
#include <filesystem>
#include <iterator>
#include <utility>
#include <vector>

#include "fullmap/lookup/tables.h"
#include "fullmap/store/db_cache.h"
#include "module/args.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/fullmap_results.h"
#include "module/functions.h"

namespace corv::module {
namespace {

constexpr const char* kParams[] = {"db", "curie_ids"};
constexpr Signature kSignature{"hydrate_curies", kParams, 2};

struct HydrateCuriesArgs {
  std::filesystem::path db;
  std::vector<uint32_t> curie_ids;
};

bool convert_args(const BoundArgs& bound, HydrateCuriesArgs& out) {
  return bound.convert(0, out.db, to_path) && bound.convert(1, out.curie_ids, to_u32_list);
}

constexpr const char* kRowKeys[] = {"prefix_id", "local_id", "preferred_name", "category_id", "taxon_id"};

PyObject* rows_to_python(const std::vector<fullmap::CurieRow>& rows) {
  PyRef keys[std::size(kRowKeys)];
  if (!intern_keys(kRowKeys, keys)) return nullptr;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < rows.size(); ++i) {
    const fullmap::CurieRow& row = rows[i];
    PyRef dict(_PyDict_NewPresized(std::size(kRowKeys)));
    if (!dict || !set_owned(dict.get(), keys[0].get(), PyRef(PyLong_FromUnsignedLong(row.prefix_id))) ||
        !set_owned(dict.get(), keys[1].get(), str_object(row.local_id)) ||
        !set_owned(dict.get(), keys[2].get(), str_object(row.preferred_name)) ||
        !set_owned(dict.get(), keys[3].get(), PyRef(PyLong_FromUnsignedLong(row.category_id))) ||
        !set_owned(dict.get(), keys[4].get(), PyRef(PyLong_FromLong(row.taxon_id)))) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
  }
  return list.release();
}

PyObject* run(HydrateCuriesArgs args) {
  auto db = fullmap::open_cached(std::move(args.db));
  if (!db) return raise(db.error());
  auto rows = fullmap::hydrate_curie_rows(**db, args.curie_ids);
  db->reset();
  if (!rows) return raise(rows.error());
  return rows_to_python(*rows);
}

}  // namespace

PyObject* py_hydrate_curies(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    BoundArgs bound;
    HydrateCuriesArgs converted;
    if (!bound.bind(kSignature, args, nargsf, kwnames) || !convert_args(bound, converted)) return nullptr;
    return run(std::move(converted));
  });
}

}  // namespace corv::module
