// The build's spill directory: claimed before the stages run, released
// after a successful build. A build deletes only scratch space that a build
// made: a directory that carries the marker, or one that holds nothing but
// the names of the build's own spill files (the leftovers of a failed
// build). Any other non-empty directory is refused untouched.
#pragma once

#include <filesystem>
#include <span>
#include <utility>

#include "common/fd_io.h"
#include "common/status.h"

namespace corv::fullmap {

// Written first into every spill directory a build uses.
inline constexpr char kSpillMarkerName[] = ".corvantile-fullmap-spill";

// Everything that makes claim_spill_dir() refuse, checked without changing
// anything, so that a refused build costs nothing: a directory that holds
// (or is) one of the database files or an input, since it is emptied before
// and removed after the build; a file or a link to nothing where the
// directory should be; a directory holding anything a build did not write.
Status check_spill_dir(const std::filesystem::path& spill_dir, std::span<const std::filesystem::path> database_files,
                       std::span<const std::filesystem::path> classes, std::span<const std::filesystem::path> synonyms);

// A spill directory in use: an flock on the directory keeps every other
// build out of it, as two builds sharing one would read each other's runs.
class SpillDirClaim {
 public:
  explicit SpillDirClaim(FileDescriptor dir) : dir_(std::move(dir)) {}
  SpillDirClaim(SpillDirClaim&&) noexcept = default;
  SpillDirClaim& operator=(SpillDirClaim&&) noexcept = default;
  // Unlocks explicitly, as a forked child's copy would keep the lock.
  ~SpillDirClaim() {
    if (dir_.valid()) unlock(dir_.get());
  }

 private:
  FileDescriptor dir_;
};

// Creates `spill_dir` (and its ancestors) or empties a spill directory of an
// earlier build, locks it, then writes the marker. An existing empty
// directory is used as it is; a regular file fails with ENOTDIR, a
// directory another build uses or one holding anything else with a runtime
// error naming it. Nothing is deleted then.
Result<SpillDirClaim> claim_spill_dir(const std::filesystem::path& spill_dir);

// Best effort: removes everything in `spill_dir`, then the directory.
void release_spill_dir(const std::filesystem::path& spill_dir);

}  // namespace corv::fullmap
