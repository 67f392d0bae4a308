// Small fullmap files written through the store layer for the store tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "fullmap/store/layout.h"
#include "fullmap/store/writable_database.h"
#include "scratch_dir.h"

namespace corv::fullmap::testing {

using MetaValues = std::map<std::string, std::string>;

// Writes a database whose "meta" table holds `meta` (and nothing else).
inline void write_meta_db(const std::filesystem::path& path, const MetaValues& meta) {
  auto db = WritableDatabase::create(path, 0);
  ASSERT_TRUE(db) << db.error().message;
  auto txn = db->begin_write();
  ASSERT_TRUE(txn) << txn.error().message;
  auto table = txn->open_table(kMetaTable);
  ASSERT_TRUE(table) << table.error().message;
  for (const auto& [k, v] : meta) ASSERT_TRUE(table->insert(k, v));
  ASSERT_TRUE(txn->commit());
  ASSERT_TRUE(db->close());
}

// A main file with the schema marker, `build_id` and "shards" = `shards`,
// plus that many shard files carrying `shard_build_id` (default: the same).
inline void write_fullmap(const std::filesystem::path& main, const std::string& build_id, int shards = 16,
                          std::optional<std::string> shard_build_id = {}) {
  write_meta_db(main,
                {{"schema", std::string(kSchemaMarker)}, {"build_id", build_id}, {"shards", std::to_string(shards)}});
  for (int i = 0; i < shards; ++i) {
    write_meta_db(shard_path(main, i), {{"build_id", shard_build_id.value_or(build_id)}});
  }
}

// Replaces `path` by a new file (new inode) with the same role.
inline void replace_with_meta_db(const std::filesystem::path& path, const MetaValues& meta) {
  const std::filesystem::path tmp = path.string() + ".new";
  write_meta_db(tmp, meta);
  std::filesystem::rename(tmp, path);
}

}  // namespace corv::fullmap::testing
