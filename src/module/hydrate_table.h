// The three id-table functions differ only in which table they read.
#pragma once

#include <filesystem>
#include <utility>

#include "fullmap/lookup/tables.h"
#include "fullmap/store/db_cache.h"
#include "module/args.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/fullmap_results.h"

namespace corv::module {

// Binds `db`, opens the main database through the cache, reads one id table
// with `load(database)` and returns its names by id, gaps as "".
template <class Load>
PyObject* hydrate_table(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                        Load load) {
  return boundary([&]() -> PyObject* {
    BoundArgs bound;
    std::filesystem::path db_path;
    if (!bound.bind(signature, args, nargsf, kwnames) || !bound.convert(0, db_path, to_path)) return nullptr;
    auto db = fullmap::open_cached(std::move(db_path));
    if (!db) return raise(db.error());
    auto table = load(**db);
    db->reset();  // the handle is not needed while the list is built
    if (!table) return raise(table.error());
    return str_list(fullmap::names_by_id(*table));
  });
}

}  // namespace corv::module
