// One build per fullmap at a time. A build holds, in the lock file
// ".fullmap-build.lock" of its output's directory, one locked byte per name
// of its 17 files, from before it deletes or checks anything until its last
// file is in place. The locks belong to the open file description, so a
// second build in the same process conflicts like one in another process,
// and a killed build leaves none behind. Because the bytes stand for file
// names, outputs whose files overlap (fm and fm.redb share fm.sN.redb)
// exclude each other, however the path is spelled, while builds of other
// outputs in the directory run side by side. The lock file is never
// deleted: a deleted lock file would let the next build lock a new one.
// A child forked during the build holds none of the locks (fork_closed.h).
//
// The lock also holds the output's directory by its descriptor, through
// which the lock file itself is made and opened. Everything the build does
// there goes through it, so a directory moved aside and replaced by another,
// or by a link, later redirects nothing: the build never writes outside the
// directory whose lock it holds.
#pragma once

#include <filesystem>
#include <string_view>

#include "common/fd_io.h"
#include "common/fork_closed.h"
#include "common/held_directory.h"
#include "common/status.h"

namespace corv::fullmap {

inline constexpr char kBuildLockFileName[] = ".fullmap-build.lock";

class OutputLock {
 public:
  // Locks the names of `output` and its 16 shard files, or fails at once,
  // with nothing locked, when another build holds any of them.
  static Result<OutputLock> acquire(const std::filesystem::path& output);

  // The output's directory, whose lock file this lock holds.
  const HeldDirectory& directory() const noexcept { return dir_; }

  OutputLock() = default;
  OutputLock(OutputLock&&) noexcept = default;
  OutputLock& operator=(OutputLock&& other) noexcept;
  ~OutputLock() { release(); }

  // Unlocks explicitly, so that no other copy of the descriptor keeps the
  // locks.
  void release() noexcept;

 private:
  OutputLock(HeldDirectory dir, FileDescriptor file) : dir_(std::move(dir)), file_(std::move(file)) {}
  HeldDirectory dir_;
  ForkClosedDescriptor file_;
};

}  // namespace corv::fullmap
