// The build's spill directory: claimed before the stages run, released
// after a successful build. A build deletes only scratch space that a build
// made: a directory that carries the marker, or one that holds nothing but
// the names of the build's own spill files (the leftovers of a failed
// build), and nothing another user owns. Any other non-empty directory is
// refused untouched.
#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/fd_io.h"
#include "common/fork_closed.h"
#include "common/held_directory.h"
#include "common/status.h"

namespace corv::fullmap {

// Written first into every spill directory a build uses.
inline constexpr char kSpillMarkerName[] = ".corvantile-fullmap-spill";
// Made 0600 in the spill directory by the build that claims it, and locked.
inline constexpr char kSpillLockName[] = ".corvantile-fullmap-spill.lock";

// A spill directory held by one build from before the build deletes
// anything until it ends: a lock on a file of the builder's own inside it,
// which only a descriptor open for writing can hold, keeps every other
// build out of it, as two builds sharing one would read each other's runs;
// whoever may only read the directory cannot. The directory is held by its
// descriptor, and so are its parent and the ancestors the claim made: the
// stages reach their files through dir(), and renaming the directory or an
// ancestor, or linking another directory in its place, redirects nothing.
// The path is walked one name at a time and a symbolic link on it is
// followed only when it is the builder's, or root's in a directory only
// root may write: any other user's link refuses the build untouched. It is
// private to the builder: made 0700, refused when another user owns it or
// anything in it, narrowed to 0700 when others may use it.
class SpillDirClaim {
 public:
  // Refuses, changing nothing, a directory that holds (or is) one of the
  // database files or an input, since it is emptied before and removed
  // after the build; a file or a link to nothing where the directory should
  // be; another user's symbolic link on the way to it; a directory another
  // user owns, or that holds anything another user owns; a directory
  // another build holds; a directory holding anything a build did not
  // write. Otherwise creates the directory (and its ancestors) when absent
  // and locks it.
  static Result<SpillDirClaim> acquire(const std::filesystem::path& spill_dir,
                                       std::span<const std::filesystem::path> database_files,
                                       std::span<const std::filesystem::path> classes,
                                       std::span<const std::filesystem::path> synonyms);

  SpillDirClaim() = default;
  SpillDirClaim(SpillDirClaim&& other) noexcept = default;
  SpillDirClaim& operator=(SpillDirClaim&& other) noexcept;
  // Unlocks explicitly, so that no other copy of the descriptor keeps the
  // lock, after removing the lock file. Directories that acquire() created
  // and no stage used are removed.
  ~SpillDirClaim() { release(); }

  // The held spill directory, where the stages write and read their runs.
  const HeldDirectory& dir() const { return levels_.back().dir; }

  // Readies the held directory for the stages: empties what an earlier
  // build left (but the lock file) and writes the marker. Foreign files
  // that appeared since acquire() refuse it, with nothing deleted.
  Status prepare() const;

  // After a successful build, best effort: empties the held directory,
  // then removes it and the ancestors acquire() made while they are empty,
  // each through its parent and only while its name there still refers to
  // it.
  void remove() const noexcept;

  void release() noexcept;

 private:
  // A directory on the way to the spill directory, held by its descriptor.
  struct Level {
    HeldDirectory dir;
    std::string name;   // its entry in the level before; empty for the first
    bool made = false;  // made by acquire()
  };

  // Walks `spill_dir` from its start, making what is missing of it, and
  // appends the levels to levels_ as it goes.
  Status open_levels(const std::filesystem::path& spill_dir);
  // Keeps of levels_ only what removing the directories acquire() made, or
  // the spill directory, still needs.
  void push_level(Level level);
  // Removes the lock file while it is still the one held.
  void remove_lock_file() const noexcept;

  // Removes levels, innermost first, each while it is empty and its
  // parent's entry is still it, stopping at the first that acquire() did
  // not make; `spill_too` takes the spill directory whoever made it, when
  // named_.
  void remove_levels(bool spill_too) const noexcept;

  // Outermost first, down to the spill directory, each below the one
  // before; of the way there only what remove_levels() needs: the
  // directories acquire() made and the parent of the first of them, or of
  // the spill directory.
  std::filesystem::path path_;  // as the caller named it, for messages
  std::vector<Level> levels_;
  // Whether remove() takes the spill directory away though acquire() did
  // not make it: not when it was named through a link, ".", or "..".
  bool named_ = false;
  ForkClosedDescriptor lock_;  // the lock file
};

}  // namespace corv::fullmap
