// The last build stage: the main database file (string tables, CURIE rows,
// meta) and one shard file per shard, each filled by its own writer thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "common/held_directory.h"
#include "common/status.h"
#include "fullmap/build/build_settings.h"
#include "fullmap/build/process_synonyms.h"
#include "fullmap/build/progress.h"
#include "fullmap/store/layout.h"

namespace corv::fullmap {

inline constexpr std::string_view kShardWriterPanicked = "fullmap shard writer panicked";
// The panic when a writer thread cannot start; the system's reason is not part of it.
inline constexpr std::string_view kWriterSpawnFailed = "failed to spawn thread";

struct FinalWriteOptions {
  size_t write_budget_bytes = kDefaultWriteBudgetBytes;  // the main file's; each shard file gets an equal share
  size_t insert_batch = kDefaultInsertBatch;
  size_t shard_count = kBuildShardCount;
  ProgressHandle progress{};  // none: no reports
};

// Writes `output` and its `shard_count` shard files, by their names in `dir`
// (the directory that `output` named when the build locked it), from the
// ingest's id maps and runs (names in `spill`); none of them may exist yet.
// The main file is written in one durable transaction and closed before the first shard file is created.
// Shard writers run in parallel; the error of the lowest failing shard is
// returned after every writer has ended, and a writer that throws counts as
// kShardWriterPanicked. `term_runs[i]` lists shard i's runs (a shard past its
// end has none). Run files are left in place.
Status write_final_database(const HeldDirectory& dir, const std::filesystem::path& output, const HeldDirectory& spill,
                            const SynonymOutput& ingested, const FinalWriteOptions& options);

// Sum of the frames of every term run, for the stage 2 total, counted on
// the current oneTBB arena; a run that cannot be counted adds 0.
uint64_t count_term_frames(const HeldDirectory& spill, std::span<const std::vector<std::string>> term_runs);

}  // namespace corv::fullmap
