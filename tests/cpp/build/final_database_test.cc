#include "fullmap/build/final_database.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fullmap/build/build_id.h"
#include "fullmap/build/curie_run.h"
#include "fullmap/build/term_run.h"
#include "ingest_test_util.h"
#include "store_dump.h"

namespace corv::fullmap {
namespace {

using corv::testing::ScratchDir;
using testing::dump_meta;
using testing::dump_table;
using testing::dump_terms;
using testing::RecordingProgress;
using Paths = std::vector<std::string>;

constexpr size_t kShards = 16;

TEST(BuildId, ComposesClockProcessAndCounter) {
  EXPECT_EQ(compose_build_id(EpochTime{1'700'000'000, 123'456'789}, 4242, 1), 7301444403845909780ull);
  // Before the epoch only the process id and the counter remain.
  EXPECT_EQ(compose_build_id(std::nullopt, 4242, 3), (uint64_t{4242} << 17) ^ 3);
  // v == c would give 0; the counter itself is used instead.
  EXPECT_EQ(compose_build_id(EpochTime{uint64_t{5} << 32, 0}, 0, 5), 5u);
  EXPECT_EQ(compose_build_id(EpochTime{0, 5}, 0, 5), 5u);
  // Consecutive counters at one clock reading differ.
  EXPECT_NE(compose_build_id(EpochTime{9, 9}, 7, 1), compose_build_id(EpochTime{9, 9}, 7, 2));
}

TEST(BuildId, EachDrawAdvancesTheCounter) {
  const uint64_t before = BUILD_ID_COUNTER.load();
  const uint64_t a = next_build_id();
  const uint64_t b = next_build_id();
  EXPECT_EQ(BUILD_ID_COUNTER.load(), before + 2);
  EXPECT_NE(a, b);
  EXPECT_NE(a, 0u);
}

// The ingest's output for a small fullmap: 2 CURIEs in one CURIE run and
// terms in two spills spread over the 16 shards.
struct IngestOutput {
  absl::flat_hash_map<std::string, uint16_t> prefixes{{"CHEBI", 0}, {"MONDO", 1}};
  absl::flat_hash_map<std::string, uint16_t> categories{{"SmallMolecule", 0}, {"Disease", 1}};
  absl::flat_hash_map<std::string, uint8_t> sources{{"chemicals", 0}, {"diseases", 1}};
  Paths curie_runs;
  std::vector<Paths> term_runs = std::vector<Paths>(kShards);
  std::vector<std::string> rows;
  uint64_t frames = 0;

  HeldDirectory spill_dir;

  explicit IngestOutput(const std::filesystem::path& dir) : spill_dir(testing::hold(dir)) {
    CurieRunBatch batch;
    rows = {encode_curie_row({0, "15365", "Aspirin", 0, 0}),
            encode_curie_row({1, "0005148", "type 2 diabetes", 1, -9606})};
    batch.push_back({0, rows[0]});
    batch.push_back({1, rows[1]});
    auto curies = spill_curie_run(batch, spill_dir, 0);
    EXPECT_TRUE(curies);
    curie_runs.push_back(*curies);
    spill({{"aspirin", {{0, 0}}}, {"chebi:15365", {{0, 0}}}, {"t2d", {{1, 1}}}, {"diabetes", {{1, 1}}}}, 0);
    spill({{"aspirin", {{0, 1}}}, {"type 2 diabetes", {{1, 1}}}}, 1);
  }

  void spill(std::vector<std::pair<std::string, std::vector<Posting>>> terms, uint64_t run) {
    TermMap map;
    for (auto& [t, p] : terms) {
      for (const Posting& posting : p) map.add(t, posting);
    }
    frames += map.size();
    auto files = spill_run(map, spill_dir, run, kShards);
    ASSERT_TRUE(files);
    for (const auto& f : *files) term_runs[f.shard].push_back(f.name);
  }

  Status write(const std::filesystem::path& output, size_t insert_batch, const ProgressHandle& progress) const {
    const SynonymOutput ingested{.curie_runs = curie_runs,
                                 .term_runs = term_runs,
                                 .prefix_ids = prefixes,
                                 .category_ids = categories,
                                 .source_ids = sources};
    auto dir = HeldDirectory::open(output.parent_path());
    if (!dir) return std::unexpected(std::move(dir.error()));
    return write_final_database(
        *dir, output, spill_dir, ingested,
        {.write_budget_bytes = 64 << 20, .insert_batch = insert_batch, .shard_count = kShards, .progress = progress});
  }
};

TEST(FinalDatabase, WritesTheMainTablesAndSixteenShardsOfOneBuild) {
  const ScratchDir dir;
  const IngestOutput in(dir.path());
  const auto output = dir / "out" / "fm.redb";
  std::filesystem::create_directories(output.parent_path());
  auto progress = std::make_shared<RecordingProgress>();
  auto status = in.write(output, 1, progress);
  ASSERT_TRUE(status) << status.error().message;

  EXPECT_EQ(dump_table(output, kPrefixesTable), (std::map<uint16_t, std::string>{{0, "CHEBI"}, {1, "MONDO"}}));
  EXPECT_EQ(dump_table(output, kCategoriesTable),
            (std::map<uint16_t, std::string>{{0, "SmallMolecule"}, {1, "Disease"}}));
  EXPECT_EQ(dump_table(output, kSourcesTable),
            (std::map<uint8_t, std::string>{{0, encode_source_row("chemicals")}, {1, encode_source_row("diseases")}}));
  EXPECT_EQ(dump_table(output, kCuriesTable), (std::map<uint32_t, std::string>{{0, in.rows[0]}, {1, in.rows[1]}}));
  const auto meta = dump_meta(output);
  ASSERT_EQ(meta.size(), 3u);
  EXPECT_EQ(meta.at("schema"), "corvantile.fullmap.v5");
  EXPECT_EQ(meta.at("shards"), "16");
  const std::string build_id = meta.at("build_id");
  EXPECT_EQ(build_id, std::to_string(std::stoull(build_id)));

  std::map<std::string, std::vector<TermPosting>> all_terms;
  for (size_t i = 0; i < kShards; ++i) {
    const auto shard = dir / "out" / ("fm.s" + std::to_string(i) + ".redb");
    ASSERT_TRUE(std::filesystem::exists(shard)) << shard;
    EXPECT_EQ(dump_meta(shard), (std::map<std::string, std::string>{{"build_id", build_id}}));
    for (auto& [term, postings] : dump_terms(shard)) {
      EXPECT_EQ(shard_of(term_hash(term), kShards), i) << term;
      all_terms.emplace(term, postings);
    }
  }
  EXPECT_EQ(all_terms.size(), 5u);
  EXPECT_EQ(all_terms.at("aspirin"), (std::vector<TermPosting>{{0, 0}, {0, 1}}));

  // Frames of all runs make the total; the last report is the record count.
  const auto calls = progress->calls();
  ASSERT_FALSE(calls.empty());
  for (size_t i = 0; i + 1 < calls.size(); ++i) {
    EXPECT_EQ(calls[i].stage, 2);
    EXPECT_EQ(calls[i].total, in.frames);
  }
  EXPECT_EQ(calls.back(), (testing::ProgressCall{2, 5, 5, "wrote 5 records"}));
}

TEST(FinalDatabase, EmptyIngestStillCreatesEveryTable) {
  const ScratchDir dir;
  const auto output = dir / "empty.redb";
  SynonymOutput nothing;
  nothing.term_runs.resize(kShards);
  auto status = write_final_database(*HeldDirectory::open(dir.path()), output, testing::hold(dir.path()), nothing,
                                     {.write_budget_bytes = 0, .insert_batch = 0, .shard_count = kShards});
  ASSERT_TRUE(status) << status.error().message;
  EXPECT_TRUE(dump_table(output, kPrefixesTable).empty());
  EXPECT_TRUE(dump_table(output, kCategoriesTable).empty());
  EXPECT_TRUE(dump_table(output, kSourcesTable).empty());
  EXPECT_TRUE(dump_table(output, kCuriesTable).empty());
  EXPECT_TRUE(dump_table(dir / "empty.s15.redb", kRecordsTable).empty());
}

TEST(FinalDatabase, TheLowestFailingShardsErrorWinsAfterAllWritersEnd) {
  const ScratchDir dir;
  IngestOutput in(dir.path());
  // Shard 3 reads a missing file, shard 7 a run cut inside a frame.
  in.term_runs[3].push_back("gone.bin");
  testing::write_file(dir / "cut.bin", std::string("\x05\x00\x00\x00"
                                                   "ab",
                                                   6));
  in.term_runs[7].push_back("cut.bin");
  auto progress = std::make_shared<RecordingProgress>();
  auto status = in.write(dir / "fm.redb", 0, progress);
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().message, "No such file or directory (os error 2)");
  for (const auto& call : progress->calls()) EXPECT_EQ(call.message.find("wrote"), std::string::npos);
  // The healthy shards were written to their end.
  for (size_t i : {0, 1, 2, 4, 5, 6, 8, 15}) {
    EXPECT_EQ(dump_meta(dir / ("fm.s" + std::to_string(i) + ".redb")).size(), 1u) << i;
  }
}

TEST(FinalDatabase, AHugeInsertBatchIsOneBatchPerShard) {
  const ScratchDir dir;
  const IngestOutput in(dir.path());
  auto progress = std::make_shared<RecordingProgress>();
  auto status = in.write(dir / "fm.redb", SIZE_MAX, progress);
  ASSERT_TRUE(status) << status.error().message;
  const size_t filled =
      std::count_if(in.term_runs.begin(), in.term_runs.end(), [](const Paths& runs) { return !runs.empty(); });
  const auto calls = progress->calls();
  ASSERT_EQ(calls.size(), filled + 1);
  EXPECT_EQ(calls.back(), (testing::ProgressCall{2, 5, 5, "wrote 5 records"}));
}

}  // namespace
}  // namespace corv::fullmap
