// A build's settings: the worker count and the CORVANTILE_FULLMAP_*
// environment variables, read once per build before any build thread runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "absl/container/flat_hash_set.h"

namespace corv::fullmap {

inline constexpr char kEquivSpillEntriesEnv[] = "CORVANTILE_FULLMAP_EQUIV_SPILL_ENTRIES";
inline constexpr char kLocalSpillEntriesEnv[] = "CORVANTILE_FULLMAP_LOCAL_SPILL_ENTRIES";
inline constexpr char kCurieSpillEntriesEnv[] = "CORVANTILE_FULLMAP_CURIE_SPILL_ENTRIES";
inline constexpr char kExcludePrefixesEnv[] = "CORVANTILE_FULLMAP_EXCLUDE_PREFIXES";
inline constexpr char kChunkBytesEnv[] = "CORVANTILE_FULLMAP_CHUNK_BYTES";
inline constexpr char kProducersEnv[] = "CORVANTILE_FULLMAP_PRODUCERS";
inline constexpr char kWriteBudgetBytesEnv[] = "CORVANTILE_FULLMAP_REDB_CACHE_BYTES";  // name kept
inline constexpr char kInsertBatchEnv[] = "CORVANTILE_FULLMAP_INSERT_BATCH";
inline constexpr char kSpillDirEnv[] = "CORVANTILE_FULLMAP_SPILL_DIR";

inline constexpr size_t kDefaultEquivSpillEntries = 2'000'000;
inline constexpr size_t kDefaultLocalSpillEntries = 1'000'000;
inline constexpr size_t kDefaultCurieSpillEntries = 250'000;
inline constexpr size_t kDefaultChunkBytes = 8'388'608;
inline constexpr size_t kDefaultWriteBudgetBytes = 2'147'483'648;
inline constexpr size_t kDefaultInsertBatch = 2'000'000;
inline constexpr std::string_view kSpillDirSuffix = ".spill.d";

struct BuildSettings {
  size_t local_spill_entries = kDefaultLocalSpillEntries;
  size_t curie_spill_entries = kDefaultCurieSpillEntries;
  absl::flat_hash_set<std::string> exclude_prefixes;
  size_t chunk_bytes = kDefaultChunkBytes;
  size_t producers = 1;
  size_t write_budget_bytes = kDefaultWriteBudgetBytes;
  size_t insert_batch = kDefaultInsertBatch;
  std::filesystem::path spill_dir;
};

// Reads the environment, except the equivalence stage's spill threshold:
// that stage reads it itself, when it starts and only when there are class
// files. `synonym_files` and `threads` feed the default producer count.
BuildSettings read_build_settings(const std::filesystem::path& output, size_t synonym_files, size_t threads);

size_t read_equiv_spill_entries();

// The exclusion set from the variable's value (nullopt: unset or not UTF-8):
// comma-separated, each piece trimmed of Unicode whitespace, empty pieces
// dropped.
absl::flat_hash_set<std::string> parse_exclude_prefixes(std::optional<std::string_view> value);

// min(files, max(threads / 4, 4)).
size_t default_producers(size_t synonym_files, size_t threads);

// The bytes of `output` followed by ".spill.d".
std::filesystem::path default_spill_dir(const std::filesystem::path& output);

// The "MemAvailable:" figure in kB of a /proc/meminfo text; nullopt when the
// first such line has no parsable number or the number is 0.
std::optional<uint64_t> mem_available_kb(std::string_view meminfo);

// The build's worker count: max(requested, 1) when given; otherwise one
// worker per whole 2 GiB available, capped by the cores, or 90 % of the
// cores without a memory figure; at least 1. `cores` is nullopt when
// unknown (taken as 1), `meminfo` when unreadable.
size_t resolve_worker_count(std::optional<size_t> requested, std::optional<size_t> cores,
                            std::optional<std::string_view> meminfo);

// resolve_worker_count() with this machine's cores and "/proc/meminfo".
size_t build_worker_count(std::optional<size_t> requested);

}  // namespace corv::fullmap
