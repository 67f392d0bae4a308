// The most threads a build holds at once, and whether the system gives them:
// checked before the build deletes anything, so that a count it cannot
// start leaves the old database as it was.
#pragma once

#include <cstddef>

#include "common/status.h"

namespace corv::fullmap {

struct BuildThreads {
  size_t threads = 1;  // the resolved worker count
  size_t producers = 1;
  size_t class_files = 0;
  size_t synonym_files = 1;
  bool progress = false;
  size_t shard_count = 0;
};

// The pool's runner; its other threads where the pool spreads work (several
// class files, or a progress total to count), which then stay for the whole
// build; and the larger of the ingest's threads and the shard writers, which
// run one stage after the other.
size_t peak_build_threads(const BuildThreads& build);

// Fails as the stage whose thread the system refused would: for the pool's,
// a RuntimeError with the system's text; for any other, the panic
// "failed to spawn thread: <os error>".
Status ensure_build_threads(const BuildThreads& build);

}  // namespace corv::fullmap
