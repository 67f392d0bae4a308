// One consistent view of a fullmap for a rows lookup: the main database, the
// tables read from it, and a shard set of the same build.
//
// The main file and the shard set are opened separately, so a rebuild that
// completes in between would pair one build's tables and CURIE rows with
// another build's term postings. The main handle's build id is therefore
// compared with the pinned shards', and both are opened again on a mismatch.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "common/status.h"
#include "fullmap/lookup/tables.h"
#include "fullmap/store/read_only_database.h"

namespace corv::fullmap {

inline constexpr int kGenerationAttempts = 5;

struct FullmapGeneration {
  SharedDatabase main;
  uint64_t build_id = 0;
  StringTable prefixes;
  StringTable categories;
  SourceTable sources;
  std::vector<SharedDatabase> shards;  // all of build_id, in shard order
};

// How the main file and the shard set are opened: open_cached and
// open_cached_shards, or stand-ins in tests.
struct GenerationOpeners {
  std::function<Result<SharedDatabase>(const std::filesystem::path&)> open_main;
  std::function<Result<std::vector<SharedDatabase>>(const std::filesystem::path&)> open_shards;
};

GenerationOpeners cached_openers();

// Opens the main file, reads "prefixes", "categories" and "sources" from it,
// then pins the shard set; the first error is returned as is. When the shards
// belong to another build than the main handle, starts over, up to
// kGenerationAttempts times, then fails with the "kept changing generation"
// error.
Result<FullmapGeneration> open_generation(const std::filesystem::path& db, const GenerationOpeners& openers);

}  // namespace corv::fullmap
