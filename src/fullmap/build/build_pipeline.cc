#include "fullmap/build/build_pipeline.h"

#include <sys/resource.h>

#include <algorithm>
#include <exception>
#include <system_error>
#include <utility>

#include "common/fd_io.h"
#include "common/free_heap.h"
#include "common/thread_group.h"
#include "fullmap/build/equiv_index.h"
#include "fullmap/build/final_database.h"
#include "fullmap/build/process_synonyms.h"
#include "fullmap/build/spill_dir.h"
#include "fullmap/store/db_cache.h"
#include "fullmap/store/layout.h"
#include "oneapi/tbb/task_arena.h"

namespace corv::fullmap {
namespace {

Status make_directories(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return fail_io(ec.value());
  return {};
}

// Removes `path` when it exists (as seen through symbolic links).
Status remove_file_if_present(const std::filesystem::path& path) {
  if (!file_info(path)) return {};
  return remove_file(path);
}

Status run_pipeline(const std::filesystem::path& output, const std::vector<std::filesystem::path>& classes,
                    const std::vector<std::filesystem::path>& synonyms, size_t threads, size_t shard_count,
                    const ProgressHandle& progress, const BuildSettings& settings) {
  CORV_TRY(check_spill_dir(settings.spill_dir, output, classes, synonyms));
  CORV_TRY(claim_spill_dir(settings.spill_dir));
  SynonymOutput ingested;
  {
    auto equiv = EquivIndex::build(classes, settings.spill_dir, settings.equiv_spill_entries, progress);
    if (!equiv) return std::unexpected(std::move(equiv.error()));
    // The class files' maps, freed on the pool threads, would otherwise stay
    // resident all through the ingest, which runs on threads of its own.
    release_free_heap();
    auto out = process_synonyms(synonyms, *equiv,
                                {.spill_dir = settings.spill_dir,
                                 .local_spill_entries = settings.local_spill_entries,
                                 .curie_spill_entries = settings.curie_spill_entries,
                                 .exclude_prefixes = settings.exclude_prefixes,
                                 .threads = threads,
                                 .shard_count = shard_count,
                                 .chunk_bytes = settings.chunk_bytes,
                                 .producers = settings.producers,
                                 .progress = progress});
    if (!out) return std::unexpected(std::move(out.error()));
    ingested = std::move(*out);
  }  // the index and its merged file go before the final write starts
  // Likewise the ingest's term maps, batches and chunks before the shard
  // writers, again on new threads, fill up their batches and merge buffers.
  release_free_heap();
  CORV_TRY(write_final_database(output, ingested,
                                {.write_budget_bytes = settings.write_budget_bytes,
                                 .insert_batch = settings.insert_batch,
                                 .shard_count = shard_count,
                                 .progress = progress}));
  release_spill_dir(settings.spill_dir);
  return {};
}

}  // namespace

void raise_open_file_limit() noexcept {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

Status remove_database_files(const std::filesystem::path& output) {
  CORV_TRY(remove_file_if_present(output));
  for (uint64_t i = 0; i < kBuildShardCount; ++i) CORV_TRY(remove_file_if_present(shard_path(output, i)));
  return {};
}

Result<PreparedBuild> prepare_build(const std::filesystem::path& output,
                                    std::span<const std::filesystem::path> synonyms, std::optional<size_t> threads) {
  if (synonyms.empty()) return fail(Error::value(std::string(kNoSynonymFiles)));
  raise_open_file_limit();
  PreparedBuild prepared;
  prepared.threads = build_worker_count(threads);
  if (const auto parent = output.parent_path(); !parent.empty()) CORV_TRY(make_directories(parent));
  CORV_TRY(evict_cached(output));
  CORV_TRY(remove_database_files(output));
  prepared.settings = read_build_settings(output, synonyms.size(), prepared.threads);
  return prepared;
}

Status build_fullmap_inner(std::filesystem::path output, std::vector<std::filesystem::path> classes,
                           std::vector<std::filesystem::path> synonyms, size_t threads, size_t shard_count,
                           ProgressHandle progress, BuildSettings settings) {
  // oneTBB faults when an arena with more than 65,536 slots is torn down; it
  // never runs more workers than cores anyway, so a larger request gains
  // nothing but the crash.
  constexpr size_t kMaxArenaSlots = size_t{1} << 16;
  const int slots = static_cast<int>(std::min(std::max<size_t>(threads, 1), kMaxArenaSlots));
  tbb::task_arena arena(slots);
  try {
    arena.initialize();
  } catch (const std::exception& e) {
    return fail_runtime(e.what());
  }
  // The caller only waits: were it a pool thread, reports made on it would
  // run Python there, where a pending Ctrl-C turns into an exception inside
  // the callable and is discarded with it. The runner takes the arena's
  // master slot, so the pool still has `threads` threads and a job to run
  // even where oneTBB lends no workers (a single core).
  ThreadGroup runner;
  CORV_TRY(runner.spawn([&] {
    Status result;
    arena.execute([&] { result = run_pipeline(output, classes, synonyms, threads, shard_count, progress, settings); });
    return result;
  }));
  Status result = runner.join_rethrowing();
  // The caller's process gets back what the build freed.
  release_free_heap();
  return result;
}

}  // namespace corv::fullmap
