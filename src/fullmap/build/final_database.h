// The last build stage: the main database file (string tables, CURIE rows,
// meta) and one shard file per shard, each filled by its own writer thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "common/status.h"
#include "fullmap/build/progress.h"

namespace corv::fullmap {

inline constexpr std::string_view kShardWriterPanicked = "fullmap shard writer panicked";

// Writes `output` and its `shard_count` shard files, none of which may exist
// yet. The main file is written in one durable transaction and closed before
// the first shard file is created. Shard writers run in parallel; the error
// of the lowest failing shard is returned after every writer has ended, and
// a writer that throws counts as kShardWriterPanicked. `term_runs[i]` lists
// shard i's runs (a shard past its end has none). Run files are left in
// place.
Status write_final_database(const std::filesystem::path& output,
                            const absl::flat_hash_map<std::string, uint16_t>& prefix_ids,
                            const absl::flat_hash_map<std::string, uint16_t>& category_ids,
                            const absl::flat_hash_map<std::string, uint8_t>& source_ids,
                            std::span<const std::filesystem::path> curie_runs,
                            std::span<const std::vector<std::filesystem::path>> term_runs, size_t redb_cache_bytes,
                            size_t insert_batch, size_t shard_count, const ProgressHandle& progress);

// Sum of the frames of every term run, for the stage 2 total, counted on
// the current oneTBB arena; a run that cannot be counted adds 0.
uint64_t count_term_frames(std::span<const std::vector<std::filesystem::path>> term_runs);

}  // namespace corv::fullmap
