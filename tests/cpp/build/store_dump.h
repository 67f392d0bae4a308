// Reads finished fullmap files back through the store layer, for the tests
// of the shard writers, the final database and the whole build.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "fullmap/store/layout.h"
#include "fullmap/store/read_only_database.h"
#include "fullmap/store/record_encoding.h"

namespace corv::fullmap::testing {

// Owned keys: text keys are copied out of the file's mapping.
template <KeyColumn K>
using DumpKey = std::conditional_t<std::is_same_v<K, Text>, std::string, typename Column<K>::View>;

template <KeyColumn K, ValueColumn V>
std::map<DumpKey<K>, std::string> dump_table(const std::filesystem::path& path, TableDef<K, V> def) {
  std::map<DumpKey<K>, std::string> rows;
  auto db = ReadOnlyDatabase::open(path);
  EXPECT_TRUE(db) << path << ": " << db.error().message;
  if (!db) return rows;
  auto txn = (*db)->begin_read();
  EXPECT_TRUE(txn) << txn.error().message;
  auto table = txn->open_table(def);
  EXPECT_TRUE(table) << path << " " << def.name << ": " << table.error().message;
  if (!table) return rows;
  auto scanned =
      table->scan([&](auto key, std::string_view value) { rows.emplace(DumpKey<K>(key), std::string(value)); });
  EXPECT_TRUE(scanned) << scanned.error().message;
  return rows;
}

inline std::map<std::string, std::string> dump_meta(const std::filesystem::path& path) {
  return dump_table(path, kMetaTable);
}

// A shard's records as term -> postings, checking that each key is its
// term's hash.
inline std::map<std::string, std::vector<TermPosting>> dump_terms(const std::filesystem::path& path) {
  std::map<std::string, std::vector<TermPosting>> terms;
  for (const auto& [key, value] : dump_table(path, kRecordsTable)) {
    auto record = decode_term_record(value);
    EXPECT_TRUE(record) << record.error().message;
    if (!record) continue;
    EXPECT_EQ(key, term_hash(record->term)) << record->term;
    terms.emplace(record->term, record->postings);
  }
  return terms;
}

}  // namespace corv::fullmap::testing
