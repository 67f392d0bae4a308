// Readers of the main database's tables: the id-to-text tables and the
// stored CURIE rows.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "common/status.h"
#include "fullmap/store/column_types.h"
#include "fullmap/store/read_only_database.h"
#include "fullmap/store/record_encoding.h"

namespace corv::fullmap {

// Prefix or category id -> text.
using StringTable = absl::flat_hash_map<uint16_t, std::string>;
// Source id -> source name.
using SourceTable = absl::flat_hash_map<uint8_t, std::string>;

// The whole of "prefixes" or "categories" (kPrefixesTable, kCategoriesTable).
Result<StringTable> load_string_table(const ReadOnlyDatabase& db, TableDef<uint16_t, Text> table);

// The whole of "sources", each value decoded as one string.
Result<SourceTable> load_sources(const ReadOnlyDatabase& db);

// The names of an id table as a list indexed by id: largest id + 1 items,
// empty where an id has no name; one empty item for an empty table. The views
// point into `table`.
template <class Id>
std::vector<std::string_view> names_by_id(const absl::flat_hash_map<Id, std::string>& table) {
  size_t largest = 0;
  for (const auto& [id, name] : table) largest = std::max<size_t>(largest, id);
  std::vector<std::string_view> out(largest + 1);
  for (const auto& [id, name] : table) out[id] = name;
  return out;
}

// One row per id, in the order given (repeats included). An id without a
// row fails with "missing fullmap CURIE id {}".
Result<std::vector<CurieRow>> hydrate_curie_rows(const ReadOnlyDatabase& db, std::span<const uint32_t> ids);

}  // namespace corv::fullmap
