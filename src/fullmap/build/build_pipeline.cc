#include "fullmap/build/build_pipeline.h"

#include <sys/resource.h>

#include <string>
#include <system_error>
#include <utility>

#include "common/fd_io.h"
#include "common/free_heap.h"
#include "fullmap/build/build_pool.h"
#include "fullmap/build/build_threads.h"
#include "fullmap/build/equiv_index.h"
#include "fullmap/build/final_database.h"
#include "fullmap/build/process_synonyms.h"
#include "fullmap/build/spill_dir.h"
#include "fullmap/store/db_cache.h"
#include "fullmap/store/layout.h"
#include "fullmap/store/writable_database.h"

namespace corv::fullmap {
namespace {

Status make_directories(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return fail_io(ec.value());
  return {};
}

Status run_pipeline(BuildPool& pool, const HeldDirectory& output_dir, const std::filesystem::path& output,
                    const std::vector<std::filesystem::path>& classes,
                    const std::vector<std::filesystem::path>& synonyms, size_t threads, size_t shard_count,
                    const ProgressHandle& progress, const BuildSettings& settings, const SpillDirClaim& spill) {
  // Work is spread over the pool only by a parallel parse of several class
  // files and by the count of term records behind the progress total.
  if (classes.size() > 1 || progress) CORV_TRY(pool.ensure_workers());
  CORV_TRY(spill.prepare());
  SynonymOutput ingested;
  {
    auto equiv = EquivIndex::build(classes, spill.dir(), std::nullopt, progress);
    if (!equiv) return std::unexpected(std::move(equiv.error()));
    // The class files' maps, freed on the pool threads, would otherwise stay
    // resident all through the ingest, which runs on threads of its own.
    release_free_heap();
    auto out = process_synonyms(synonyms, *equiv,
                                {.spill = &spill.dir(),
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
  CORV_TRY(write_final_database(output_dir, output, spill.dir(), ingested,
                                {.write_budget_bytes = settings.write_budget_bytes,
                                 .insert_batch = settings.insert_batch,
                                 .shard_count = shard_count,
                                 .progress = progress}));
  spill.remove();
  return {};
}

}  // namespace

void raise_open_file_limit() noexcept {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

std::vector<std::filesystem::path> database_files(const std::filesystem::path& output) {
  std::vector<std::filesystem::path> files{output};
  for (uint64_t i = 0; i < kBuildShardCount; ++i) files.push_back(shard_path(output, i));
  return files;
}

namespace {

std::vector<std::string> file_names(std::span<const std::filesystem::path> files) {
  std::vector<std::string> names;
  for (const auto& file : files) names.push_back(file.filename().native());
  return names;
}

}  // namespace

Status remove_database_files(const HeldDirectory& dir, const std::filesystem::path& output) {
  for (const auto& name : file_names(database_files(output))) {
    // Only a name that leads to something goes; a dangling link stays, and
    // the new file's rename replaces it.
    if (dir.reachable(name)) CORV_TRY(dir.remove_file(name));
  }
  return {};
}

Status check_not_inputs(std::span<const std::filesystem::path> database_files,
                        std::span<const std::filesystem::path> classes,
                        std::span<const std::filesystem::path> synonyms) {
  std::vector<FileInfo> inputs;
  for (const auto* list : {&classes, &synonyms}) {
    for (const auto& path : *list) {
      if (auto info = file_info(path)) inputs.push_back(*info);
    }
  }
  for (const auto& file : database_files) {
    auto info = file_info(file);
    if (!info) continue;
    for (const auto& input : inputs) {
      if (info->same_file(input)) {
        return fail_runtime("fullmap file " + file.string() + " is one of the build's input files");
      }
    }
  }
  return {};
}

// An output must name a file, and none of its files may be the directory's
// lock file, which a build would replace under the builds that hold it.
Status check_output_names(const std::filesystem::path& output, std::span<const std::filesystem::path> files) {
  if (output.empty()) return fail_runtime("the fullmap output path is empty");
  const auto name = output.filename();
  if (name.empty() || name == "." || name == "..") {
    return fail_runtime("the fullmap output path " + output.string() + " names a directory, not a file");
  }
  for (const auto& file : files) {
    if (file.filename() == kBuildLockFileName) {
      return fail_runtime("the fullmap output path " + output.string() + " names the build lock file " +
                          kBuildLockFileName);
    }
  }
  return {};
}

Result<PreparedBuild> prepare_build(const std::filesystem::path& output, std::span<const std::filesystem::path> classes,
                                    std::span<const std::filesystem::path> synonyms, std::optional<size_t> threads,
                                    bool progress) {
  if (synonyms.empty()) return fail(Error::value(std::string(kNoSynonymFiles)));
  const auto files = database_files(output);
  CORV_TRY(check_output_names(output, files));
  raise_open_file_limit();
  PreparedBuild prepared;
  prepared.threads = build_worker_count(threads);
  if (const auto parent = output.parent_path(); !parent.empty()) CORV_TRY(make_directories(parent));
  // From here on no other build touches these files, and every check that
  // can refuse the build runs before the first of them is deleted.
  auto lock = OutputLock::acquire(output);
  if (!lock) return std::unexpected(std::move(lock.error()));
  prepared.lock = std::move(*lock);
  prepared.settings = read_build_settings(output, synonyms.size(), prepared.threads);
  CORV_TRY(ensure_build_threads({.threads = prepared.threads,
                                 .producers = prepared.settings.producers,
                                 .class_files = classes.size(),
                                 .synonym_files = synonyms.size(),
                                 .progress = progress,
                                 .shard_count = kBuildShardCount}));
  CORV_TRY(check_not_inputs(files, classes, synonyms));
  // Held from here to the end, so no other build can take the directory
  // between this check and the stages that use it.
  auto spill = SpillDirClaim::acquire(prepared.settings.spill_dir, files, classes, synonyms);
  if (!spill) return std::unexpected(std::move(spill.error()));
  prepared.spill = std::move(*spill);
  const HeldDirectory& dir = prepared.lock.directory();
  remove_abandoned_temporaries(dir, file_names(files));
  CORV_TRY(evict_cached(output));
  CORV_TRY(remove_database_files(dir, output));
  return prepared;
}

Status build_fullmap_inner(const HeldDirectory& output_dir, std::filesystem::path output,
                           std::vector<std::filesystem::path> classes, std::vector<std::filesystem::path> synonyms,
                           size_t threads, size_t shard_count, ProgressHandle progress, BuildSettings settings,
                           const SpillDirClaim& spill) {
  BuildPool pool(threads);
  Status result = pool.run([&] {
    return run_pipeline(pool, output_dir, output, classes, synonyms, threads, shard_count, progress, settings, spill);
  });
  // The caller's process gets back what the build freed.
  release_free_heap();
  return result;
}

}  // namespace corv::fullmap
