#include "fullmap/build/build_threads.h"

#include <algorithm>

#include "common/thread_group.h"
#include "common/thread_probe.h"
#include "fullmap/build/build_pool.h"
#include "fullmap/build/process_synonyms.h"

namespace corv::fullmap {
namespace {

// As run_pipeline decides whether to call BuildPool::ensure_workers.
size_t pool_threads(const BuildThreads& build) {
  const bool spreads = build.class_files > 1 || build.progress;
  return spreads ? BuildPool::slots(build.threads) : 1;
}

}  // namespace

size_t peak_build_threads(const BuildThreads& build) {
  const IngestThreads ingest = ingest_threads(build.threads, build.producers, build.synonym_files);
  return pool_threads(build) + std::max(ingest.workers + ingest.producers, build.shard_count);
}

Status ensure_build_threads(const BuildThreads& build) {
  auto probed = probe_threads(peak_build_threads(build));
  if (probed) return {};
  if (probed.error().started < pool_threads(build)) return fail_io(probed.error().error);
  return fail(spawn_failure(probed.error().error));
}

}  // namespace corv::fullmap
