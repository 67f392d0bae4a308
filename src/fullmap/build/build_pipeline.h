// A whole fullmap build: the preparation done on the caller's thread
// (prepare_build) and the three stages run in a thread pool of the build's
// worker count (build_fullmap_inner). The caller places the result in the
// database cache afterwards (cache_database).
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/held_directory.h"
#include "common/status.h"
#include "fullmap/build/build_settings.h"
#include "fullmap/build/output_lock.h"
#include "fullmap/build/progress.h"
#include "fullmap/build/spill_dir.h"

namespace corv::fullmap {

inline constexpr std::string_view kNoSynonymFiles = "at least one synonym file is required";

struct PreparedBuild {
  size_t threads = 1;
  BuildSettings settings;
  OutputLock lock;      // held until the new database is in place
  SpillDirClaim spill;  // likewise
};

// Before any build thread exists: refuses an empty synonym list (ValueError,
// nothing touched) and an output path that names no file or names the lock
// file, raises the open-file limit, resolves the worker count, creates the
// output's directory, locks the output against other builds, reads the
// settings, refuses the build (with nothing deleted) when a database file
// is an input, claims the spill directory (or refuses the build), removes
// temporaries that killed builds left, evicts the output and its 16 shard
// paths from the database cache and deletes those 17 files.
// Before the deletion it also makes sure that the system gives the threads
// the build will hold at once, which depend on whether it reports
// `progress` (build_threads.h).
Result<PreparedBuild> prepare_build(const std::filesystem::path& output, std::span<const std::filesystem::path> classes,
                                    std::span<const std::filesystem::path> synonyms, std::optional<size_t> threads,
                                    bool progress = false);

// Raises the soft limit on open files to the hard limit; failures ignored.
void raise_open_file_limit() noexcept;

// Deletes the main file and shard files 0 to 15 of `output` from `dir`, the
// directory its lock holds, where present.
Status remove_database_files(const HeldDirectory& dir, const std::filesystem::path& output);

// Runs the pipeline as one job of a oneTBB arena with `threads` slots, on a
// thread of its own while the caller waits: the claimed spill directory
// readied (spill_dir.h), equivalence index, synonym ingest, final database,
// then the spill directory removed (best effort). A failure leaves the
// spill directory in place. A C++ exception escaping the pipeline is rethrown to the caller
// after the arena has finished with it.
// The database files go into `output_dir`, the held directory of `output`
// (PreparedBuild::lock.directory()).
Status build_fullmap_inner(const HeldDirectory& output_dir, std::filesystem::path output,
                           std::vector<std::filesystem::path> classes, std::vector<std::filesystem::path> synonyms,
                           size_t threads, size_t shard_count, ProgressHandle progress, BuildSettings settings,
                           const SpillDirClaim& spill);

}  // namespace corv::fullmap
