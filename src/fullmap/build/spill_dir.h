// The build's spill directory: claimed before the stages run, released
// after a successful build. A build deletes only scratch space that a build
// made: a directory that carries the marker, or one that holds nothing but
// the names of the build's own spill files (the leftovers of a failed
// build). Any other non-empty directory is refused untouched.
#pragma once

#include <filesystem>
#include <span>
#include <utility>
#include <vector>

#include "common/fd_io.h"
#include "common/fork_closed.h"
#include "common/status.h"

namespace corv::fullmap {

// Written first into every spill directory a build uses.
inline constexpr char kSpillMarkerName[] = ".corvantile-fullmap-spill";

// A spill directory held by one build from before the build deletes
// anything until it ends: an flock on the directory keeps every other build
// out of it, as two builds sharing one would read each other's runs.
class SpillDirClaim {
 public:
  // Refuses, changing nothing, a directory that holds (or is) one of the
  // database files or an input, since it is emptied before and removed
  // after the build; a file or a link to nothing where the directory should
  // be; a directory another build holds; a directory holding anything a
  // build did not write. Otherwise creates the directory (and its
  // ancestors) when absent and locks it.
  static Result<SpillDirClaim> acquire(const std::filesystem::path& spill_dir,
                                       std::span<const std::filesystem::path> database_files,
                                       std::span<const std::filesystem::path> classes,
                                       std::span<const std::filesystem::path> synonyms);

  SpillDirClaim() = default;
  SpillDirClaim(SpillDirClaim&& other) noexcept = default;
  SpillDirClaim& operator=(SpillDirClaim&& other) noexcept;
  // Unlocks explicitly, so that no other copy of the descriptor keeps the
  // lock. Directories that acquire() created and no stage used are removed.
  ~SpillDirClaim() { release(); }

  // Readies the held directory for the stages: empties what an earlier
  // build left and writes the marker. Foreign files that appeared since
  // acquire() refuse it, with nothing deleted.
  Status prepare() const;

  void release() noexcept;

 private:
  SpillDirClaim(std::filesystem::path dir, FileDescriptor fd, std::vector<std::filesystem::path> made)
      : dir_(std::move(dir)), fd_(std::move(fd)), made_(std::move(made)) {}
  std::filesystem::path dir_;
  ForkClosedDescriptor fd_;
  // The directories acquire() made for it, outermost first, so a claim that
  // no build used takes away what it made, and no more.
  std::vector<std::filesystem::path> made_;
};

// Best effort: removes everything in `spill_dir`, then the directory.
void release_spill_dir(const std::filesystem::path& spill_dir);

}  // namespace corv::fullmap
