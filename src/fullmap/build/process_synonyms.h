// The synonym ingest: producer threads read the synonym files in chunks of
// lines, worker threads intern ids and spill term and CURIE-row runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "common/held_directory.h"
#include "common/status.h"
#include "fullmap/build/build_settings.h"
#include "fullmap/build/progress.h"
#include "fullmap/store/layout.h"

namespace corv::fullmap {

class EquivIndex;

inline constexpr size_t kMaxSources = 256;

// Runs are named by their names in the spill directory.
struct SynonymOutput {
  // CURIE-row runs in the order the workers wrote them.
  std::vector<std::string> curie_runs;
  // Term runs of each shard, indexed by shard.
  std::vector<std::vector<std::string>> term_runs;
  absl::flat_hash_map<std::string, uint16_t> prefix_ids;
  absl::flat_hash_map<std::string, uint16_t> category_ids;
  absl::flat_hash_map<std::string, uint8_t> source_ids;
};

struct IngestOptions {
  const HeldDirectory* spill = nullptr;  // where the runs go; outlives the ingest
  size_t local_spill_entries = kDefaultLocalSpillEntries;
  size_t curie_spill_entries = kDefaultCurieSpillEntries;
  absl::flat_hash_set<std::string> exclude_prefixes{};
  size_t threads = 1;
  size_t shard_count = kBuildShardCount;
  size_t chunk_bytes = kDefaultChunkBytes;
  size_t producers = 1;
  ProgressHandle progress{};  // none: no reports
};

struct IngestThreads {
  size_t workers;
  size_t producers;
};

// The threads the ingest runs at once for a worker count, a requested
// producer count and a number of synonym files.
IngestThreads ingest_threads(size_t threads, size_t producers, size_t synonym_files);

// Ingests `synonyms` (never empty) with max(threads, 1) workers and
// producers = 0 ? 1 : min(producers, number of files) producer threads.
// Fails with "too many fullmap sources" before starting anything when the
// files name more than 256 sources. Otherwise joins every thread and
// returns the first failure in join order (workers, then producers, each
// in start order); a thread whose body threw counts as
// "fullmap build worker panicked". Run files already written stay in
// `spill` on failure.
Result<SynonymOutput> process_synonyms(const std::vector<std::filesystem::path>& synonyms, const EquivIndex& equiv,
                                       const IngestOptions& options);

}  // namespace corv::fullmap
