// The fullmap's files: the main database's tables, the "meta" keys, the
// shard files beside it, and the term hash that places a term in a shard.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "fullmap/store/column_types.h"

namespace corv::fullmap {

// Main database file.
inline constexpr TableDef<uint16_t, Text> kPrefixesTable{"prefixes"};
inline constexpr TableDef<uint16_t, Text> kCategoriesTable{"categories"};
inline constexpr TableDef<uint8_t, Bytes> kSourcesTable{"sources"};  // encoded SourceRow
inline constexpr TableDef<uint32_t, Bytes> kCuriesTable{"curies"};   // encoded CurieRow
inline constexpr TableDef<Text, Text> kMetaTable{"meta"};            // main and shard files

// Shard files: term hash -> encoded term record.
inline constexpr TableDef<uint64_t, Bytes> kRecordsTable{"records"};

// "meta" keys. A shard's "meta" holds only "build_id".
inline constexpr std::string_view kMetaSchema = "schema";
inline constexpr std::string_view kMetaBuildId = "build_id";
inline constexpr std::string_view kMetaShards = "shards";

inline constexpr std::string_view kSchemaMarker = "corvantile.fullmap.v5";

// Shard files a build writes; readers accept 1, 2, 4, 8 or 16.
inline constexpr uint64_t kBuildShardCount = 16;
inline constexpr uint64_t kMaxShardCount = 16;

// XXH64, seed 0, over the term's UTF-8 bytes; also the term's key in its shard.
uint64_t term_hash(std::string_view term);

// The shard of a hash among `shard_count` (a power of two) shards.
inline uint64_t shard_of(uint64_t hash, uint64_t shard_count) { return hash & (shard_count - 1); }

// Path of shard file `index` beside the main file `base`:
// "{stem}.s{index}.{ext}" in base's directory. stem defaults to "fullmap"
// when base has no file name, ext to "redb" when the name has no extension.
std::filesystem::path shard_path(const std::filesystem::path& base, uint64_t index);

}  // namespace corv::fullmap
