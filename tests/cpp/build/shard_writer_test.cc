#include "fullmap/build/shard_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fullmap/build/term_run.h"
#include "ingest_test_util.h"
#include "store_dump.h"

namespace corv::fullmap {
namespace {

using corv::testing::ScratchDir;
using testing::dump_meta;
using testing::dump_table;
using testing::dump_terms;
using testing::ProgressCall;
using testing::RecordingProgress;
using Postings = std::vector<TermPosting>;

// One term run (all terms in shard 0 of 1) holding `terms`.
std::filesystem::path write_run(const std::filesystem::path& dir, uint64_t run,
                                const std::vector<std::pair<std::string, std::vector<Posting>>>& terms) {
  TermMap map;
  for (const auto& [term, postings] : terms) {
    for (const Posting& p : postings) map.add(term, p);
  }
  auto files = spill_run(map, testing::hold(dir), run, 1);
  EXPECT_TRUE(files) << files.error().message;
  EXPECT_EQ(files->size(), 1u);
  return dir / files->front().name;
}

struct ShardFixture {
  ScratchDir dir;
  std::filesystem::path db_path = dir / "shard.db";
  WritableDatabase db = create(db_path);
  std::atomic<uint64_t> written{0};

  static WritableDatabase create(const std::filesystem::path& path) {
    auto db = WritableDatabase::create(path, 0);
    EXPECT_TRUE(db) << db.error().message;
    return std::move(*db);
  }

  Result<uint64_t> write(const std::vector<std::filesystem::path>& runs, size_t batch,
                         const ProgressHandle& progress = nullptr, uint64_t build_id = 77) {
    // By name in the directory that holds them, as a build passes its runs.
    std::vector<std::string> names;
    for (const auto& run : runs) names.push_back(run.filename());
    auto n = write_shard_records(db, testing::hold(dir.path()), names, batch, 5, written, 1000, progress, build_id);
    EXPECT_TRUE(db.close());
    return n;
  }
};

TEST(ShardWriter, MergesRunsIntoOneRecordPerTermWithUnionedPostings) {
  ShardFixture f;
  const std::vector<std::filesystem::path> runs = {
      write_run(f.dir.path(), 0, {{"fever", {{5, 0}, {7, 1}}}, {"cough", {{9, 0}}}}),
      write_run(f.dir.path(), 1, {{"fever", {{5, 0}}}, {"p53", {{4, 2}, {4, 1}}}}),
      write_run(f.dir.path(), 2, {{"fever", {{2, 3}, {7, 1}}}}),
  };
  auto n = f.write(runs, 2);
  ASSERT_TRUE(n) << n.error().message;
  EXPECT_EQ(*n, 3u);

  const auto terms = dump_terms(f.db_path);
  EXPECT_EQ(terms.size(), 3u);
  EXPECT_EQ(terms.at("fever"), (Postings{{2, 3}, {5, 0}, {7, 1}}));
  EXPECT_EQ(terms.at("cough"), (Postings{{9, 0}}));
  EXPECT_EQ(terms.at("p53"), (Postings{{4, 1}, {4, 2}}));  // one CURIE, two sources
  EXPECT_EQ(dump_meta(f.db_path), (std::map<std::string, std::string>{{"build_id", "77"}}));
  for (const auto& run : runs) EXPECT_TRUE(std::filesystem::exists(run));
}

TEST(ShardWriter, NoRunsOrEmptyRunsGiveAnEmptyTableAndNoReports) {
  for (bool with_empty_run : {false, true}) {
    ShardFixture f;
    std::vector<std::filesystem::path> runs;
    if (with_empty_run) runs.push_back(testing::write_file(f.dir / "run_s0_00000000.bin", ""));
    auto progress = std::make_shared<RecordingProgress>();
    auto n = f.write(runs, 4, progress, 18446744073709551615ull);
    ASSERT_TRUE(n) << n.error().message;
    EXPECT_EQ(*n, 0u);
    EXPECT_TRUE(progress->calls().empty());
    EXPECT_EQ(f.written.load(), 0u);
    EXPECT_TRUE(dump_table(f.db_path, kRecordsTable).empty());
    EXPECT_EQ(dump_meta(f.db_path).at("build_id"), "18446744073709551615");
  }
}

// 7 terms spread over two runs.
std::vector<std::filesystem::path> seven_terms(const std::filesystem::path& dir) {
  return {write_run(dir, 0, {{"a", {{1, 0}}}, {"b", {{2, 0}}}, {"c", {{3, 0}}}, {"d", {{4, 0}}}}),
          write_run(dir, 1, {{"e", {{5, 0}}}, {"f", {{6, 0}}}, {"g", {{7, 0}}}, {"a", {{8, 0}}}})};
}

TEST(ShardWriter, FlushesEveryFullBatchAndReportsRunningTotals) {
  struct Case {
    size_t batch;
    std::vector<uint64_t> dones;
  };
  for (const Case& c : {Case{3, {3, 6, 7}}, Case{1, {1, 2, 3, 4, 5, 6, 7}}, Case{7, {7}}, Case{0, {7}}}) {
    ShardFixture f;
    f.written = 100;  // other shards' flushes come first
    auto progress = std::make_shared<RecordingProgress>();
    auto n = f.write(seven_terms(f.dir.path()), c.batch, progress);
    ASSERT_TRUE(n) << n.error().message;
    EXPECT_EQ(*n, 7u);
    std::vector<ProgressCall> expected;
    for (uint64_t done : c.dones) {
      expected.push_back({2, 100 + done, 1000, "shard 5: writing " + std::to_string(100 + done) + " records"});
    }
    EXPECT_EQ(progress->calls(), expected) << "batch " << c.batch;
    EXPECT_EQ(dump_terms(f.db_path).size(), 7u);
  }
  // Without a callable the shared counter is left alone.
  ShardFixture f;
  auto n = f.write(seven_terms(f.dir.path()), 2);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 7u);
  EXPECT_EQ(f.written.load(), 0u);
}

// Equal keys stand for terms whose hashes collide: the last one written,
// the greatest term, must be the one kept, within a batch and across them.
TEST(ShardWriter, FlushKeepsTheLastValueOfEqualKeysAndSortsStably) {
  ScratchDir dir;
  // A value larger than a block of the batch gets a block of its own.
  const std::string big(3 << 20, 'x');
  {
    auto db = WritableDatabase::create(dir / "t.db", 0);
    ASSERT_TRUE(db);
    auto txn = db->begin_write();
    ASSERT_TRUE(txn);
    auto table = txn->open_table(kRecordsTable);
    ASSERT_TRUE(table);
    std::optional<uint64_t> last_key;
    ShardBatch batch;
    batch.reserve(8);
    for (auto [k, v] :
         std::vector<std::pair<uint64_t, std::string_view>>{{9, "i"}, {2, "b1"}, {2, "b2"}, {5, "e"}, {1, big}}) {
      batch.add(k, v);
    }
    auto n = flush_shard_batch(*table, batch, last_key);
    ASSERT_TRUE(n) << n.error().message;
    EXPECT_EQ(*n, 5u);
    EXPECT_TRUE(batch.empty());
    EXPECT_GE(batch.capacity(), 8u);
    EXPECT_EQ(last_key, 9u);

    batch.add(9, "i2");
    batch.add(12, "l");
    n = flush_shard_batch(*table, batch, last_key);
    ASSERT_TRUE(n);
    EXPECT_EQ(*n, 2u);
    n = flush_shard_batch(*table, batch, last_key);
    ASSERT_TRUE(n);
    EXPECT_EQ(*n, 0u);
    ASSERT_TRUE(txn->commit());
    ASSERT_TRUE(db->close());
  }
  EXPECT_EQ(dump_table(dir / "t.db", kRecordsTable),
            (std::map<uint64_t, std::string>{{1, big}, {2, "b2"}, {5, "e"}, {9, "i2"}, {12, "l"}}));
}

TEST(ShardWriter, UnreadableRunsFailWithTheReadErrorAndCommitNothing) {
  ShardFixture f;
  auto missing = f.write({f.dir / "absent.bin"}, 1);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");

  ShardFixture g;
  auto good = seven_terms(g.dir.path());
  // Cut the second run inside its last frame: the first records are flushed
  // and reported, then the read error ends the writer.
  std::filesystem::resize_file(good[1], std::filesystem::file_size(good[1]) - 2);
  auto progress = std::make_shared<RecordingProgress>();
  auto cut = g.write(good, 1, progress);
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().message, "failed to fill whole buffer");
  EXPECT_GT(g.written.load(), 0u);
  EXPECT_EQ(progress->calls().size(), g.written.load());
  // Neither build id nor records reached the file.
  auto db = ReadOnlyDatabase::open(g.db_path);
  ASSERT_TRUE(db) << db.error().message;
  auto txn = (*db)->begin_read();
  ASSERT_TRUE(txn);
  EXPECT_FALSE(txn->open_table(kRecordsTable));
  EXPECT_FALSE(txn->open_table(kMetaTable));
}

TEST(ShardWriter, AWriterThatFailsAfterLargeWritesLeavesNoBuildId) {
  // Enough records that the store writes part of the transaction out before
  // the cut frame is reached; the shard must still carry no build id, so it
  // can never pin as part of a complete generation.
  ShardFixture f;
  std::vector<std::pair<std::string, std::vector<Posting>>> first, second;
  for (uint32_t i = 0; i < 200000; ++i) {
    auto& side = (i % 2 == 0) ? first : second;
    side.push_back({"generated term number " + std::to_string(i), {{i, 0}}});
  }
  auto a = write_run(f.dir.path(), 0, first);
  auto b = write_run(f.dir.path(), 1, second);
  std::filesystem::resize_file(b, std::filesystem::file_size(b) - 2);
  auto cut = f.write({a, b}, 1000);
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().message, "failed to fill whole buffer");
  auto db = ReadOnlyDatabase::open(f.db_path);
  ASSERT_TRUE(db) << db.error().message;
  auto txn = (*db)->begin_read();
  ASSERT_TRUE(txn);
  auto records = txn->open_table(kRecordsTable);
  ASSERT_TRUE(records) << "the transaction was expected to be written out in part";
  auto meta = txn->open_table(kMetaTable);
  if (meta) {
    auto id = meta->get(kMetaBuildId);
    ASSERT_TRUE(id);
    EXPECT_FALSE(id->has_value());
  }
}

}  // namespace
}  // namespace corv::fullmap
