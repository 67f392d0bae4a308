#include "fullmap/build/process_synonyms.h"

#include <algorithm>
#include <utility>

#include "common/table_room.h"
#include "common/thread_group.h"
#include "fullmap/build/chunk_channel.h"
#include "fullmap/build/ingest_context.h"
#include "fullmap/build/ingest_producer.h"
#include "fullmap/build/source_name.h"
#include "fullmap/build/synonym_worker.h"

namespace corv::fullmap {
namespace {

constexpr char kWorkerPanicked[] = "fullmap build worker panicked";

// Ids in list order; a repeated name shares the id of its first path.
Result<absl::flat_hash_map<std::string, uint8_t>> assign_source_ids(
    const std::vector<std::filesystem::path>& synonyms) {
  absl::flat_hash_map<std::string, uint8_t> ids;
  for (const auto& path : synonyms) {
    // Checked before the look-up: any path after the 256th name fails.
    if (ids.size() >= kMaxSources) return fail_runtime("too many fullmap sources");
    std::string name = source_name(path);
    make_room(ids);
    ids.try_emplace(std::move(name), static_cast<uint8_t>(ids.size()));
  }
  return ids;
}

// Starts the workers, then the producers, and joins them all. The
// scope's own channel ends are dropped before the joins, whatever happened,
// so that the channel can close from both sides.
Status run_ingest_threads(IngestContext& context, ProducerState& producer_state, size_t workers, size_t producers) {
  ThreadGroup scope;
  auto [sender, receiver] = make_channel<Chunk>(workers);

  Status spawned;
  for (size_t i = 0; i < workers && spawned; ++i) {
    spawned = scope.spawn([receiver, &context]() mutable { return worker_loop(std::move(receiver), context); });
  }
  receiver.reset();
  for (size_t i = 0; i < producers && spawned; ++i) {
    spawned =
        scope.spawn([sender, &producer_state]() mutable { return producer_loop(std::move(sender), producer_state); });
  }
  sender.reset();

  Status joined = scope.join(kWorkerPanicked);
  if (!spawned) return spawned;
  return joined;
}

}  // namespace

IngestThreads ingest_threads(size_t threads, size_t producers, size_t synonym_files) {
  return {.workers = std::max<size_t>(threads, 1),
          .producers = std::clamp<size_t>(producers, 1, std::max<size_t>(synonym_files, 1))};
}

Result<SynonymOutput> process_synonyms(const std::vector<std::filesystem::path>& synonyms, const EquivIndex& equiv,
                                       const IngestOptions& options) {
  auto source_ids = assign_source_ids(synonyms);
  if (!source_ids) return fail(std::move(source_ids.error()));

  IngestContext context(equiv, options);
  ProducerState producer_state{synonyms, *source_ids, options.chunk_bytes, options.progress};

  const IngestThreads counts = ingest_threads(options.threads, options.producers, synonyms.size());
  CORV_TRY(run_ingest_threads(context, producer_state, counts.workers, counts.producers));

  return SynonymOutput{.curie_runs = context.take_curie_runs(),
                       .term_runs = context.take_term_runs(),
                       .prefix_ids = context.prefixes.to_map(),
                       .category_ids = context.categories.to_map(),
                       .source_ids = std::move(*source_ids)};
}

}  // namespace corv::fullmap
