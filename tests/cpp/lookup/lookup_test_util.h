// Small fullmaps written through the store layer for the lookup tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fullmap/store/layout.h"
#include "fullmap/store/record_encoding.h"
#include "fullmap/store/writable_database.h"
#include "scratch_dir.h"

namespace corv::fullmap::testing {

// Joins texts; g++ 12 warns falsely on "literal" + std::string.
template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (out.append(std::string_view(parts)), ...);
  return out;
}

// A stored value put directly under a key of one shard's "records" table.
struct RawRecord {
  uint64_t shard = 0;
  uint64_t key = 0;
  std::string bytes;
};

// Everything a fullmap holds, written as given (nothing is checked).
struct FullmapContent {
  std::string build_id = "1";
  uint64_t shards = kBuildShardCount;
  std::map<uint16_t, std::string> prefixes;
  std::map<uint16_t, std::string> categories;
  std::map<uint8_t, std::string> sources;
  std::map<uint32_t, CurieRow> curies;
  std::map<std::string, std::vector<TermPosting>> terms;  // postings as stored
  std::vector<RawRecord> raw_records;                     // written after `terms`
  std::set<uint64_t> shards_without_records;              // no "records" table
  bool with_curies_table = true;
};

inline void check(const Status& status) { ASSERT_TRUE(status) << status.error().message; }

template <class F>
void write_db(const std::filesystem::path& path, F&& fill) {
  auto db = WritableDatabase::create(path, 0);
  ASSERT_TRUE(db) << db.error().message;
  auto txn = db->begin_write();
  ASSERT_TRUE(txn) << txn.error().message;
  fill(*txn);
  check(txn->commit());
  check(db->close());
}

// The value of a setup step that must not fail.
template <class T>
T opened(Result<T> r) {
  if (!r) {
    ADD_FAILURE() << r.error().message;
    std::abort();
  }
  return std::move(*r);
}

// Writes the main file at `main` and its shard files beside it.
inline void write_fullmap(const std::filesystem::path& main, const FullmapContent& c) {
  write_db(main, [&](WriteTransaction& txn) {
    auto prefixes = opened(txn.open_table(kPrefixesTable));
    for (const auto& [id, text] : c.prefixes) check(prefixes.insert(id, text));
    auto categories = opened(txn.open_table(kCategoriesTable));
    for (const auto& [id, text] : c.categories) check(categories.insert(id, text));
    auto sources = opened(txn.open_table(kSourcesTable));
    for (const auto& [id, name] : c.sources) check(sources.insert(id, encode_source_row(name)));
    if (c.with_curies_table) {
      auto curies = opened(txn.open_table(kCuriesTable));
      for (const auto& [id, row] : c.curies) check(curies.insert(id, encode_curie_row(row)));
    }
    auto meta = opened(txn.open_table(kMetaTable));
    check(meta.insert(kMetaSchema, kSchemaMarker));
    check(meta.insert(kMetaBuildId, c.build_id));
    check(meta.insert(kMetaShards, std::to_string(c.shards)));
  });
  for (uint64_t s = 0; s < c.shards; ++s) {
    write_db(shard_path(main, s), [&](WriteTransaction& txn) {
      auto meta = opened(txn.open_table(kMetaTable));
      check(meta.insert(kMetaBuildId, c.build_id));
      if (c.shards_without_records.contains(s)) return;
      auto records = opened(txn.open_table(kRecordsTable));
      for (const auto& [term, postings] : c.terms) {
        const uint64_t hash = term_hash(term);
        if (shard_of(hash, c.shards) != s) continue;
        std::string value;
        encode_term_record(term, std::span<const TermPosting>(postings), value);
        check(records.insert(hash, value));
      }
      for (const RawRecord& raw : c.raw_records) {
        if (raw.shard == s) check(records.insert(raw.key, raw.bytes));
      }
    });
  }
}

// Writes a new generation of the fullmap beside it and renames each file
// over the old one, as a rebuild leaves them: every file gets a new inode.
inline void rewrite_fullmap(const std::filesystem::path& main, const FullmapContent& c) {
  const std::filesystem::path staged = main.parent_path() / cat("staged-", main.filename().string());
  write_fullmap(staged, c);
  for (uint64_t s = 0; s < c.shards; ++s) std::filesystem::rename(shard_path(staged, s), shard_path(main, s));
  std::filesystem::rename(staged, main);
}

// A term whose hash puts it in `shard` of `shards`, built from `stem`.
inline std::string term_in_shard(const std::string& stem, uint64_t shard, uint64_t shards) {
  for (int i = 0;; ++i) {
    std::string term = cat(stem, " ", std::to_string(i));
    if (shard_of(term_hash(term), shards) == shard) return term;
  }
}

}  // namespace corv::fullmap::testing
