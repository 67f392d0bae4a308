#include "fullmap/build/final_database.h"

#include <atomic>
#include <functional>
#include <numeric>
#include <utility>

#include "common/thread_group.h"
#include "fullmap/build/build_id.h"
#include "fullmap/build/curie_run.h"
#include "fullmap/build/shard_writer.h"
#include "fullmap/build/term_run.h"
#include "fullmap/store/layout.h"
#include "fullmap/store/record_encoding.h"
#include "fullmap/store/writable_database.h"
#include "oneapi/tbb/blocked_range.h"
#include "oneapi/tbb/parallel_reduce.h"

namespace corv::fullmap {
namespace {

using Names = std::vector<std::string>;

template <class Id, class Def>
Status write_string_table(WriteTransaction& txn, Def def, const absl::flat_hash_map<std::string, Id>& ids) {
  auto table = txn.open_table(def);
  if (!table) return std::unexpected(std::move(table.error()));
  for (const auto& [text, id] : ids) CORV_TRY(table->insert(id, text));
  return {};
}

Status write_sources(WriteTransaction& txn, const absl::flat_hash_map<std::string, uint8_t>& source_ids) {
  auto table = txn.open_table(kSourcesTable);
  if (!table) return std::unexpected(std::move(table.error()));
  for (const auto& [name, id] : source_ids) CORV_TRY(table->insert(id, encode_source_row(name)));
  return {};
}

// Row bytes go from the runs into the table as they are, never decoded.
Status write_curies(WriteTransaction& txn, const HeldDirectory& spill, std::span<const std::string> curie_runs) {
  auto table = txn.open_table(kCuriesTable);
  if (!table) return std::unexpected(std::move(table.error()));
  for (const auto& name : curie_runs) {
    auto reader = CurieRunReader::open(spill, name);
    if (!reader) return std::unexpected(std::move(reader.error()));
    while (true) {
      auto row = reader->next_row();
      if (!row) return std::unexpected(std::move(row.error()));
      if (!*row) break;
      CORV_TRY(table->insert((*row)->curie_id, (*row)->row));
    }
  }
  return {};
}

Status write_meta(WriteTransaction& txn, uint64_t build_id, size_t shard_count) {
  auto table = txn.open_table(kMetaTable);
  if (!table) return std::unexpected(std::move(table.error()));
  CORV_TRY(table->insert(kMetaSchema, kSchemaMarker));
  CORV_TRY(table->insert(kMetaBuildId, std::to_string(build_id)));
  CORV_TRY(table->insert(kMetaShards, std::to_string(shard_count)));
  return {};
}

Status write_main_database(const HeldDirectory& dir, const std::filesystem::path& output, const HeldDirectory& spill,
                           const SynonymOutput& ingested, const FinalWriteOptions& options, uint64_t build_id) {
  auto db = WritableDatabase::create(dir, output.filename().native(), options.write_budget_bytes);
  if (!db) return std::unexpected(std::move(db.error()));
  {
    auto txn = db->begin_write();
    if (!txn) return std::unexpected(std::move(txn.error()));
    CORV_TRY(write_string_table(*txn, kPrefixesTable, ingested.prefix_ids));
    CORV_TRY(write_string_table(*txn, kCategoriesTable, ingested.category_ids));
    CORV_TRY(write_sources(*txn, ingested.source_ids));
    CORV_TRY(write_curies(*txn, spill, ingested.curie_runs));
    CORV_TRY(write_meta(*txn, build_id, options.shard_count));
    CORV_TRY(txn->commit());
  }
  return db->close();
}

// Runs every shard writer on its own thread and joins them in shard order.
// Returns the sum of their counts or the lowest failing shard's error.
Result<uint64_t> run_shard_writers(std::vector<WritableDatabase>& shards, const HeldDirectory& spill,
                                   std::span<const Names> term_runs, size_t insert_batch, uint64_t total,
                                   const ProgressHandle& progress, uint64_t build_id) {
  std::atomic<uint64_t> written{0};
  std::vector<uint64_t> counts(shards.size(), 0);
  ThreadGroup writers;
  bool spawned = true;
  for (size_t i = 0; i < shards.size() && spawned; ++i) {
    Names runs = i < term_runs.size() ? term_runs[i] : Names{};
    auto started = writers.try_spawn([&, i, runs = std::move(runs), progress = progress]() -> Status {
      auto n = write_shard_records(shards[i], spill, runs, insert_batch, i, written, total, progress, build_id);
      if (!n) return fail(std::move(n.error()));
      counts[i] = *n;
      return {};
    });
    spawned = started.has_value();
  }
  Status joined = writers.join(kShardWriterPanicked);
  // Raised once the writers already started have ended.
  if (!spawned) return fail(Error::panic(std::string(kWriterSpawnFailed)));
  CORV_TRY(joined);
  return std::accumulate(counts.begin(), counts.end(), uint64_t{0});
}

}  // namespace

uint64_t count_term_frames(const HeldDirectory& spill, std::span<const std::vector<std::string>> term_runs) {
  std::vector<const std::string*> names;
  for (const auto& runs : term_runs) {
    for (const auto& name : runs) names.push_back(&name);
  }
  // Spread over the build's pool: this reads every run once more.
  return tbb::parallel_reduce(
      tbb::blocked_range<size_t>(0, names.size(), 1), uint64_t{0},
      [&](const tbb::blocked_range<size_t>& range, uint64_t sum) {
        for (size_t i = range.begin(); i < range.end(); ++i) {
          if (auto frames = count_run_frames(spill, *names[i])) sum += *frames;
        }
        return sum;
      },
      std::plus<>());
}

Status write_final_database(const HeldDirectory& dir, const std::filesystem::path& output, const HeldDirectory& spill,
                            const SynonymOutput& ingested, const FinalWriteOptions& options) {
  const uint64_t build_id = next_build_id();
  CORV_TRY(write_main_database(dir, output, spill, ingested, options, build_id));

  std::vector<WritableDatabase> shards;
  shards.reserve(options.shard_count);
  for (size_t i = 0; i < options.shard_count; ++i) {
    auto db = WritableDatabase::create(dir, shard_path(output, i).filename().native(),
                                       options.write_budget_bytes / options.shard_count);
    if (!db) return std::unexpected(std::move(db.error()));
    shards.push_back(std::move(*db));
  }

  const ProgressHandle& progress = options.progress;
  const uint64_t total = progress ? count_term_frames(spill, ingested.term_runs) : 0;
  auto written = run_shard_writers(shards, spill, ingested.term_runs, options.insert_batch, total, progress, build_id);
  if (!written) return std::unexpected(std::move(written.error()));

  const std::string message = "wrote " + std::to_string(*written) + " records";
  if (progress) progress->call(ProgressStage::kWritingShards, *written, *written, message);
  for (auto& shard : shards) CORV_TRY(shard.close());
  return {};
}

}  // namespace corv::fullmap
