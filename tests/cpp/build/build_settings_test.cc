#include "fullmap/build/build_settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>

#include "fullmap/build/build_pipeline.h"
#include "fullmap/store/layout.h"
#include "ingest_test_util.h"

namespace corv::fullmap {
namespace {

using corv::testing::ScratchDir;
using testing::write_file;
using Set = absl::flat_hash_set<std::string>;

TEST(BuildSettings, WorkerCountGivenOrFromCoresWithoutMemoryFigure) {
  EXPECT_EQ(resolve_worker_count(0, 16, "MemAvailable: 67108864 kB\n"), 1u);
  EXPECT_EQ(resolve_worker_count(3, 1, "MemAvailable: 67108864 kB\n"), 3u);
  EXPECT_EQ(resolve_worker_count(std::nullopt, 1, std::nullopt), 1u);
  EXPECT_EQ(resolve_worker_count(std::nullopt, 8, std::nullopt), 7u);
  EXPECT_EQ(resolve_worker_count(std::nullopt, 10, std::nullopt), 9u);
  EXPECT_EQ(resolve_worker_count(std::nullopt, std::nullopt, std::nullopt), 1u);
  // Unusable MemAvailable lines fall back the same way.
  for (std::string meminfo : {"MemTotal: 8388608 kB\n", "MemAvailable:       0 kB\n", "MemAvailable: -5 kB\n",
                              "MemAvailable:\n", "MemAvailable:8388608 kB\n", "MemAvailable: 8x kB\n",
                              // Only the first MemAvailable line counts.
                              "MemAvailable: oops\nMemAvailable: 8388608 kB\n"}) {
    EXPECT_EQ(resolve_worker_count(std::nullopt, 10, meminfo), 9u) << meminfo;
  }
}

TEST(BuildSettings, WorkerCountFollowsAvailableMemoryCappedByCores) {
  const std::string meminfo = "MemTotal:       33554432 kB\r\nMemAvailable:    8388608 kB\r\nCached: 1 kB\r\n";
  EXPECT_EQ(resolve_worker_count(std::nullopt, 16, meminfo), 4u);
  EXPECT_EQ(resolve_worker_count(std::nullopt, 2, meminfo), 2u);
  EXPECT_EQ(resolve_worker_count(std::nullopt, 16, "MemAvailable: 1048576 kB"), 1u);
  EXPECT_EQ(resolve_worker_count(std::nullopt, 16, "MemAvailable:\t+4194304 kB\n"), 2u);
  EXPECT_EQ(mem_available_kb("MemAvailable: 4194303 kB"), 4194303u);
  EXPECT_GE(build_worker_count(std::nullopt), 1u);
  EXPECT_EQ(build_worker_count(5), 5u);
}

TEST(BuildSettings, ExclusionListSplitsAtCommasAndTrimsUnicodeSpace) {
  EXPECT_EQ(parse_exclude_prefixes(std::nullopt), Set{});
  EXPECT_EQ(parse_exclude_prefixes(""), Set{});
  EXPECT_EQ(parse_exclude_prefixes(",, ,"), Set{});
  EXPECT_EQ(parse_exclude_prefixes(" A ,\tB\u3000, A\u00a0"), (Set{"A", "B"}));
  EXPECT_EQ(parse_exclude_prefixes("UMLS,umls,MESH:X"), (Set{"UMLS", "umls", "MESH:X"}));
  EXPECT_EQ(parse_exclude_prefixes("NCBI Gene"), (Set{"NCBI Gene"}));
}

TEST(BuildSettings, DefaultProducersAndSpillDirectory) {
  EXPECT_EQ(default_producers(1, 8), 1u);
  EXPECT_EQ(default_producers(10, 8), 4u);
  EXPECT_EQ(default_producers(10, 32), 8u);
  EXPECT_EQ(default_spill_dir("data/fullmap.redb"), std::filesystem::path("data/fullmap.redb.spill.d"));
  EXPECT_EQ(default_spill_dir("map"), std::filesystem::path("map.spill.d"));
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(BuildSettings, EnvironmentNumbersTakeOnlyPlainUnsignedDecimals) {
  struct Case {
    std::optional<std::string> value;
    size_t expected;
  };
  for (const Case& c :
       {Case{"+8", 8}, Case{"8", 8}, Case{"0", 0}, Case{" 8", kDefaultInsertBatch}, Case{"8a", kDefaultInsertBatch},
        Case{"-1", kDefaultInsertBatch}, Case{"", kDefaultInsertBatch}, Case{std::nullopt, kDefaultInsertBatch}}) {
    ScopedEnv env(kInsertBatchEnv, c.value);
    EXPECT_EQ(read_build_settings("x.redb", 1, 1).insert_batch, c.expected) << c.value.value_or("<unset>");
  }
}

TEST(BuildSettings, EnvironmentFeedsEverySetting) {
  ScopedEnv a(kLocalSpillEntriesEnv, "11"), b(kCurieSpillEntriesEnv, "12"), c(kChunkBytesEnv, "13"),
      d(kProducersEnv, "14"), e(kWriteBudgetBytesEnv, "15"), f(kInsertBatchEnv, "16"),
      g(kExcludePrefixesEnv, "UMLS, MESH"), h(kSpillDirEnv, "scratch/here"), k(kEquivSpillEntriesEnv, "17");
  const BuildSettings s = read_build_settings("out/fm.redb", 10, 32);
  EXPECT_EQ(s.local_spill_entries, 11u);
  EXPECT_EQ(s.curie_spill_entries, 12u);
  EXPECT_EQ(s.chunk_bytes, 13u);
  EXPECT_EQ(s.producers, 14u);
  EXPECT_EQ(s.write_budget_bytes, 15u);
  EXPECT_EQ(s.insert_batch, 16u);
  EXPECT_EQ(read_equiv_spill_entries(), 17u);
  EXPECT_EQ(s.exclude_prefixes, (Set{"UMLS", "MESH"}));
  EXPECT_EQ(s.spill_dir, std::filesystem::path("scratch/here"));
  // An empty or non-UTF-8 directory falls back to the output's.
  for (const char* bad : {"", "bad\xff"}) {
    ScopedEnv i(kSpillDirEnv, bad);
    EXPECT_EQ(read_build_settings("m", 1, 1).spill_dir, std::filesystem::path("m.spill.d"));
  }
  ScopedEnv j(kProducersEnv, std::nullopt);
  EXPECT_EQ(read_build_settings("m", 10, 32).producers, 8u);
}

TEST(BuildPreparation, EmptySynonymListTouchesNothing) {
  const ScratchDir dir;
  const auto output = dir / "new" / "fm.redb";
  auto prepared = prepare_build(output, {}, {}, 2);
  ASSERT_FALSE(prepared);
  EXPECT_EQ(prepared.error().type, ErrorType::kValue);
  EXPECT_EQ(prepared.error().message, "at least one synonym file is required");
  EXPECT_FALSE(std::filesystem::exists(dir / "new"));
}

TEST(BuildPreparation, CreatesTheDirectoryAndDeletesTheOldSeventeenFiles) {
  const ScratchDir dir;
  const auto output = dir / "a" / "b" / "fm.redb";
  std::filesystem::create_directories(output.parent_path());
  write_file(output, "old");
  for (uint64_t i = 0; i <= 16; ++i) write_file(shard_path(output, i), "old");
  write_file(dir / "a" / "b" / "other.txt", "keep");
  const std::filesystem::path synonyms[] = {dir / "s.ndjson"};
  auto prepared = prepare_build(output, {}, synonyms, 0);
  ASSERT_TRUE(prepared) << prepared.error().message;
  EXPECT_EQ(prepared->threads, 1u);
  EXPECT_FALSE(std::filesystem::exists(output));
  for (uint64_t i = 0; i < 16; ++i) EXPECT_FALSE(std::filesystem::exists(shard_path(output, i))) << i;
  EXPECT_TRUE(std::filesystem::exists(shard_path(output, 16)));
  EXPECT_TRUE(std::filesystem::exists(dir / "a" / "b" / "other.txt"));

  // A directory in the way is an I/O error, not silently skipped.
  prepared->lock.release();
  prepared->spill.release();
  std::filesystem::create_directory(output);
  auto blocked = prepare_build(output, {}, synonyms, 1);
  ASSERT_FALSE(blocked);
  EXPECT_EQ(blocked.error().message, "Is a directory (os error 21)");
}

// Another build of another output may not take the spill directory between
// this build's check of it and its stages, whether or not it existed: the
// second build is refused before it deletes its own database.
TEST(BuildPreparation, HoldsTheSpillDirectoryFromItsCheckOn) {
  const ScratchDir dir;
  const auto first = dir / "a" / "fm.redb";
  const auto second = dir / "b" / "fm.redb";
  std::filesystem::create_directories(second.parent_path());
  write_file(second, "old");
  const std::filesystem::path synonyms[] = {dir / "s.ndjson"};
  const auto spill = dir / "shared" / "spill";
  ScopedEnv shared(kSpillDirEnv, spill.string());
  auto held = prepare_build(first, {}, synonyms, 1);
  ASSERT_TRUE(held) << held.error().message;
  auto refused = prepare_build(second, {}, synonyms, 1);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message, "spill directory " + spill.string() + " is in use by another build");
  EXPECT_TRUE(std::filesystem::exists(second));
  // Made for the claim, with its parent, and never used: both go with the
  // claim, and nothing that was there before.
  held->spill.release();
  EXPECT_FALSE(std::filesystem::exists(dir / "shared"));
  EXPECT_TRUE(std::filesystem::exists(dir / "a"));
  EXPECT_TRUE(prepare_build(second, {}, synonyms, 1));
}

}  // namespace
}  // namespace corv::fullmap
