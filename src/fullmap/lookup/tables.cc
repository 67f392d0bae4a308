#include "fullmap/lookup/tables.h"

#include <string>
#include <utility>

#include "common/table_room.h"
#include "fullmap/store/layout.h"

namespace corv::fullmap {

Result<StringTable> load_string_table(const ReadOnlyDatabase& db, TableDef<uint16_t, Text> table) {
  auto txn = db.begin_read();
  if (!txn) return std::unexpected(std::move(txn.error()));
  auto opened = txn->open_table(table);
  if (!opened) return std::unexpected(std::move(opened.error()));
  StringTable out;
  CORV_TRY(opened->scan([&](uint16_t id, std::string_view text) {
    std::string owned(text);
    make_room(out);
    out.try_emplace(id, std::move(owned));
  }));
  return out;
}

Result<SourceTable> load_sources(const ReadOnlyDatabase& db) {
  auto txn = db.begin_read();
  if (!txn) return std::unexpected(std::move(txn.error()));
  auto opened = txn->open_table(kSourcesTable);
  if (!opened) return std::unexpected(std::move(opened.error()));
  SourceTable out;
  CORV_TRY(opened->scan([&](uint8_t id, std::string_view bytes) -> Status {
    auto name = decode_source_row(bytes);
    if (!name) return std::unexpected(std::move(name.error()));
    make_room(out);
    out.try_emplace(id, std::move(*name));
    return {};
  }));
  return out;
}

Result<std::vector<CurieRow>> hydrate_curie_rows(const ReadOnlyDatabase& db, std::span<const uint32_t> ids) {
  auto txn = db.begin_read();
  if (!txn) return std::unexpected(std::move(txn.error()));
  auto table = txn->open_table(kCuriesTable);
  if (!table) return std::unexpected(std::move(table.error()));
  std::vector<CurieRow> rows;
  rows.reserve(ids.size());
  std::string value;
  for (const uint32_t id : ids) {
    value.clear();
    auto stored = table->get_into(id, value);
    if (!stored) return std::unexpected(std::move(stored.error()));
    if (!*stored) return fail_runtime("missing fullmap CURIE id " + std::to_string(id));
    auto row = decode_curie_row(value);
    if (!row) return std::unexpected(std::move(row.error()));
    rows.push_back(std::move(*row));
  }
  return rows;
}

}  // namespace corv::fullmap
