#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "fullmap/store/db_cache.h"
#include "fullmap/store/layout.h"
#include "fullmap/store/store_error.h"
#include "store_test_util.h"

namespace corv::fullmap {
namespace {

using corv::testing::ScratchDir;
using testing::MetaValues;
using testing::write_fullmap;
using testing::write_meta_db;

constexpr std::string_view kPinFailure =
    " kept changing generation; could not pin one primary-plus-shards bundle after 5 attempts";

std::string error_of(const auto& result) { return result ? std::string() : result.error().message; }

MetaValues main_meta(std::string build_id, std::optional<std::string> shards = "16") {
  MetaValues meta{{"schema", std::string(kSchemaMarker)}, {"build_id", std::move(build_id)}};
  if (shards) meta["shards"] = *shards;
  return meta;
}

TEST(OpenCached, HitsReuseTheHandleUntilTheFileIsReplaced) {
  ScratchDir dir;
  const auto path = dir / "fm.redb";
  write_meta_db(path, main_meta("11"));

  auto first = open_cached(path);
  ASSERT_TRUE(first) << error_of(first);
  // Another spelling of the same file is the same entry.
  auto second = open_cached(dir.path() / "." / "fm.redb");
  ASSERT_TRUE(second);
  EXPECT_EQ(first->get(), second->get());

  testing::replace_with_meta_db(path, main_meta("12"));
  auto third = open_cached(path);
  ASSERT_TRUE(third) << error_of(third);
  EXPECT_NE(third->get(), first->get());
  auto build_id = read_build_id(**third);
  ASSERT_TRUE(build_id);
  EXPECT_EQ(*build_id, 12u);
  // The old handle still reads its own (now unlinked) file.
  auto old_id = read_build_id(**first);
  ASSERT_TRUE(old_id);
  EXPECT_EQ(*old_id, 11u);

  auto opened = open_cached_path(std::filesystem::canonical(path), true);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->db.get(), third->get());
  EXPECT_EQ(opened->build_id, 12u);
  EXPECT_FALSE(opened->missing_on_disk);
}

TEST(OpenCached, DeletedFileIsServedFromTheCacheOnlyUnderItsCanonicalKey) {
  ScratchDir dir;
  const auto path = std::filesystem::canonical(dir.path()) / "fm.redb";
  write_meta_db(path, main_meta("5"));
  auto opened = open_cached_path(path, true);
  ASSERT_TRUE(opened);
  std::filesystem::remove(path);

  auto again = open_cached_path(path, true);
  ASSERT_TRUE(again) << error_of(again);
  EXPECT_TRUE(again->missing_on_disk);
  EXPECT_EQ(again->db.get(), opened->db.get());
  EXPECT_EQ(again->build_id, 5u);
  EXPECT_TRUE(open_cached(path));

  // A non-canonical spelling cannot be canonicalised any more: store error.
  auto other = open_cached(dir.path() / "." / "x" / ".." / "fm.redb");
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().message, "No such file or directory (os error 2)");
}

TEST(OpenCached, SchemaMarkerAndBuildIdChecks) {
  ScratchDir dir;
  struct Case {
    MetaValues meta;
    std::string error;  // empty: opens
  };
  const std::string outdated = "fullmap DB is outdated; rebuild with 'corvantile build-fullmap'";
  const std::string unsupported = "unsupported fullmap redb schema";
  const std::string missing_id = "fullmap DB is missing META.build_id; rebuild with 'corvantile build-fullmap'";
  const std::string invalid_id = "fullmap DB has invalid META.build_id; rebuild with 'corvantile build-fullmap'";
  const std::vector<Case> cases = {
      {{{"schema", "corvantile.fullmap.v4"}, {"build_id", "1"}}, outdated},
      {{{"schema", "corvantile.fullmap.v1"}, {"build_id", "1"}}, outdated},
      {{{"schema", "corvantile.fullmap.v6"}, {"build_id", "1"}}, unsupported},
      {{{"schema", "corvantile.fullmap.v0"}, {"build_id", "1"}}, unsupported},
      {{{"schema", "corvantile.fullmap.v5 "}, {"build_id", "1"}}, unsupported},
      {{{"build_id", "1"}}, unsupported},
      {{{"schema", std::string(kSchemaMarker)}}, missing_id},
      {main_meta("+7"), ""},
      {main_meta("007"), ""},
      {main_meta("18446744073709551615"), ""},
      {main_meta(""), invalid_id},
      {main_meta("7 "), invalid_id},
      {main_meta("-1"), invalid_id},
      {main_meta("18446744073709551616"), invalid_id},
  };
  int n = 0;
  for (const auto& c : cases) {
    const auto path = dir / ("m" + std::to_string(n++) + ".redb");
    write_meta_db(path, c.meta);
    auto db = open_cached(path);
    EXPECT_EQ(error_of(db), c.error) << path;
    if (c.error.empty() && db) {
      auto id = read_build_id(**db);
      ASSERT_TRUE(id);
      EXPECT_EQ(*id, c.meta.at("build_id") == "18446744073709551615" ? ~0ull : 7u);
    }
  }
  // A file that is not this store's: the open itself fails.
  const auto junk = dir / "junk.redb";
  std::ofstream(junk) << std::string(8192, 'j');
  EXPECT_EQ(error_of(open_cached(junk)), std::string(kOutdatedOrNeedsRepair));
}

TEST(OpenCachedShards, ShardCountFromMeta) {
  const std::vector<std::pair<std::optional<std::string>, uint64_t>> cases = {{"16", 16},
                                                                              {"8", 8},
                                                                              {"32", 16},
                                                                              {"12", 8},
                                                                              {"3", 2},
                                                                              {"1", 1},
                                                                              {"0", 1},
                                                                              {"+4", 4},
                                                                              {"", 16},
                                                                              {"-4", 16},
                                                                              {" 4", 16},
                                                                              {"four", 16},
                                                                              {"18446744073709551616", 16},
                                                                              {"9223372036854775808", 16},
                                                                              {"9223372036854775809", 1},
                                                                              {std::nullopt, 16}};
  for (const auto& [value, n] : cases) {
    EXPECT_EQ(shard_count_from_meta(value ? std::optional<std::string_view>(*value) : std::nullopt), n)
        << value.value_or("<absent>");
  }
}

TEST(OpenCachedShards, PinsShardsOfTheMainFilesBuild) {
  ScratchDir dir;
  const auto main = dir / "fm.redb";
  write_fullmap(main, "42", 4);
  auto shards = open_cached_shards(main);
  ASSERT_TRUE(shards) << error_of(shards);
  ASSERT_EQ(shards->size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ((*shards)[i]->path(), std::filesystem::canonical(shard_path(main, i)));
    auto id = read_build_id(*(*shards)[i]);
    ASSERT_TRUE(id);
    EXPECT_EQ(*id, 42u);
  }
  // A second pin hits the cache: the same handles.
  auto again = open_cached_shards(main);
  ASSERT_TRUE(again);
  EXPECT_EQ((*again)[3].get(), (*shards)[3].get());

  // A rebuild replaces every file: the next pin sees the new generation.
  for (int i = 0; i < 4; ++i) testing::replace_with_meta_db(shard_path(main, i), {{"build_id", "43"}});
  testing::replace_with_meta_db(main, main_meta("43", "4"));
  auto rebuilt = open_cached_shards(main);
  ASSERT_TRUE(rebuilt) << error_of(rebuilt);
  EXPECT_EQ(*read_build_id(*(*rebuilt)[0]), 43u);
}

TEST(OpenCachedShards, MixedBuildIdsAreRetriedThenRefused) {
  ScratchDir dir;
  const auto main = dir / "fm.redb";
  write_fullmap(main, "1", 2);
  write_meta_db(shard_path(main, 1), {{"build_id", "2"}});

  const auto start = std::chrono::steady_clock::now();
  auto shards = open_cached_shards(main);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(shards);
  EXPECT_EQ(shards.error().message,
            "fullmap at " + std::filesystem::canonical(main).string() + std::string(kPinFailure));
  EXPECT_GE(elapsed, std::chrono::milliseconds(200));  // four sleeps between five attempts
}

TEST(OpenCachedShards, DeletedBundleIsPinnedFromTheCacheButAPartlyDeletedOneIsNot) {
  ScratchDir dir;
  const auto main = std::filesystem::canonical(dir.path()) / "fm.redb";
  write_fullmap(main, "9", 2);
  ASSERT_TRUE(open_cached_shards(main));

  std::filesystem::remove(shard_path(main, 1));
  auto partial = open_cached_shards(main);
  ASSERT_FALSE(partial);
  EXPECT_EQ(partial.error().message, "fullmap at " + main.string() + std::string(kPinFailure));

  std::filesystem::remove(shard_path(main, 0));
  std::filesystem::remove(main);
  auto gone = open_cached_shards(main);
  ASSERT_TRUE(gone) << error_of(gone);
  EXPECT_EQ(gone->size(), 2u);
}

TEST(OpenCachedShards, ShardErrorsEndThePinningAtOnce) {
  ScratchDir dir;
  const auto main = dir / "fm.redb";
  write_fullmap(main, "3", 2);
  write_meta_db(shard_path(main, 1), {{"other", "x"}});
  const auto start = std::chrono::steady_clock::now();
  auto shards = open_cached_shards(main);
  ASSERT_FALSE(shards);
  EXPECT_EQ(shards.error().message, "fullmap DB is missing META.build_id; rebuild with 'corvantile build-fullmap'");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

  std::filesystem::remove(shard_path(main, 1));
  auto missing = open_cached_shards(main);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");

  // The main file's own checks come first.
  write_meta_db(dir / "old.redb", {{"schema", "corvantile.fullmap.v3"}, {"build_id", "1"}});
  EXPECT_EQ(error_of(open_cached_shards(dir / "old.redb")),
            "fullmap DB is outdated; rebuild with 'corvantile build-fullmap'");
}

TEST(OpenCachedShards, ShardCountComesFromTheMainFile) {
  ScratchDir dir;
  const auto main = dir / "fm.redb";
  write_fullmap(main, "8", 8);
  write_meta_db(main, main_meta("8", "12"));  // not a power of two: 8 shards
  auto shards = open_cached_shards(main);
  ASSERT_TRUE(shards) << error_of(shards);
  EXPECT_EQ(shards->size(), 8u);

  const auto single = dir / "one.redb";
  write_fullmap(single, "8", 1);
  write_meta_db(single, main_meta("8", std::nullopt));  // absent: 16 shards, 15 missing
  EXPECT_EQ(error_of(open_cached_shards(single)), "No such file or directory (os error 2)");
}

TEST(OpenCachedShards, ConcurrentRebuildsNeverYieldAMixedSet) {
  ScratchDir dir;
  const auto main = dir / "fm.redb";
  write_fullmap(main, "1", 4);
  std::atomic<bool> stop{false};
  std::atomic<int> pinned{0}, mixed{0}, other_errors{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        auto shards = open_cached_shards(main);
        if (!shards) {
          if (shards.error().message.find("kept changing generation") == std::string::npos) ++other_errors;
          continue;
        }
        auto first = read_build_id(*(*shards)[0]);
        for (const auto& shard : *shards) {
          if (!first || read_build_id(*shard) != *first) ++mixed;
        }
        ++pinned;
      }
    });
  }
  // Rebuilds replace the shards first and the main file last, as a build does.
  for (int gen = 2; gen <= 15; ++gen) {
    const std::string id = std::to_string(gen);
    for (int i = 0; i < 4; ++i) testing::replace_with_meta_db(shard_path(main, i), {{"build_id", id}});
    testing::replace_with_meta_db(main, main_meta(id, "4"));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(mixed.load(), 0);
  EXPECT_EQ(other_errors.load(), 0);
  EXPECT_GT(pinned.load(), 0);
  auto last = open_cached_shards(main);
  ASSERT_TRUE(last) << error_of(last);
  EXPECT_EQ(*read_build_id(*(*last)[3]), 15u);
}

TEST(OpenCached, AnEntryRecordsTheFileItsHandleReadsWhileTheNameIsSwapped) {
  // The name flips between two whole files. An entry that recorded one
  // file while its handle read the other would later serve that handle for
  // whatever file reuses the recorded inode.
  ScratchDir dir;
  const auto path = dir / "fm.redb";
  const auto first = dir / "first.redb";
  const auto second = dir / "second.redb";
  write_meta_db(first, main_meta("1"));
  write_meta_db(second, main_meta("2"));
  auto first_file = file_info(first);
  ASSERT_TRUE(first_file);
  const uint64_t first_ino = first_file->ino;
  std::filesystem::create_hard_link(first, path);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    const auto next = dir / "fm.redb.next";
    while (!stop.load()) {
      for (const auto& target : {second, first}) {
        std::filesystem::create_hard_link(target, next);
        std::filesystem::rename(next, path);
      }
    }
  });
  int mismatched = 0;
  for (int i = 0; i < 3000; ++i) {
    ASSERT_TRUE(evict_cached(path));
    auto opened = open_cached_path(path, true);
    ASSERT_TRUE(opened) << error_of(opened);
    auto entry = DB_CACHE.get().find(path);
    ASSERT_TRUE(entry && *entry);
    if (((*entry)->ino == first_ino) != (opened->build_id == 1)) ++mismatched;
  }
  stop = true;
  swapper.join();
  EXPECT_EQ(mismatched, 0);
}

TEST(CacheMaintenance, EvictAndRecache) {
  ScratchDir dir;
  const auto main = dir / "fm.redb";
  write_fullmap(main, "20", 2);
  auto before = open_cached(main);
  ASSERT_TRUE(before);
  auto shards = open_cached_shards(main);
  ASSERT_TRUE(shards);
  const size_t entries = DB_CACHE.get().size();

  ASSERT_TRUE(evict_cached(main));
  EXPECT_EQ(DB_CACHE.get().size(), entries - 3);
  // Evicted handles stay usable by their holders.
  EXPECT_EQ(*read_build_id(*(*shards)[1]), 20u);

  // A build's output is cached without a schema check.
  std::filesystem::remove(main);
  write_meta_db(main, {{"build_id", "21"}});
  ASSERT_TRUE(cache_database(main));
  auto after = open_cached(main);
  ASSERT_TRUE(after) << error_of(after);
  EXPECT_EQ(*read_build_id(**after), 21u);

  EXPECT_EQ(error_of(cache_database(dir / "none.redb")), "No such file or directory (os error 2)");
  write_meta_db(dir / "noid.redb", {{"schema", std::string(kSchemaMarker)}});
  EXPECT_EQ(error_of(cache_database(dir / "noid.redb")),
            "fullmap DB is missing META.build_id; rebuild with 'corvantile build-fullmap'");
}

TEST(DatabaseCacheLock, UnwindingUnderTheWriteLockPoisonsTheCache) {
  DatabaseCache cache;
  ScratchDir dir;
  write_meta_db(dir / "a.redb", main_meta("1"));
  auto db = open_read_only(dir / "a.redb");
  ASSERT_TRUE(db);
  ASSERT_TRUE(cache.insert(dir / "a.redb", CachedDatabase{*db, 1, 2, 3}));
  auto found = cache.find(dir.path() / "." / "a.redb");
  ASSERT_TRUE(found);
  ASSERT_TRUE(*found);
  EXPECT_EQ((*found)->build_id, 3u);
  // A failure that returns normally does not poison.
  ASSERT_TRUE(cache.with_write_lock([](DatabaseCache::Editor&) {}));
  EXPECT_FALSE(cache.poisoned());

  EXPECT_THROW((void)cache.with_write_lock([](DatabaseCache::Editor&) { throw std::runtime_error("x"); }),
               std::runtime_error);
  EXPECT_TRUE(cache.poisoned());
  const std::string poisoned = "poisoned lock: another task failed inside";
  EXPECT_EQ(error_of(cache.find(dir / "a.redb")), poisoned);
  EXPECT_EQ(error_of(cache.insert(dir / "b.redb", CachedDatabase{})), poisoned);
  EXPECT_EQ(error_of(cache.remove_if_same(dir / "a.redb", 1, 2)), poisoned);
  EXPECT_EQ(error_of(cache.with_write_lock([](DatabaseCache::Editor&) {})), poisoned);
}

TEST(DatabaseCacheLock, StaleRemovalKeepsAnEntryReplacedMeanwhile) {
  DatabaseCache cache;
  ASSERT_TRUE(cache.insert("/x/fm.redb", CachedDatabase{nullptr, 1, 10, 1}));
  ASSERT_TRUE(cache.remove_if_same("/x/fm.redb", 1, 11));  // someone else's entry
  EXPECT_EQ(cache.size(), 1u);
  ASSERT_TRUE(cache.remove_if_same("/x//fm.redb/", 1, 10));
  EXPECT_EQ(cache.size(), 0u);
}

}  // namespace
}  // namespace corv::fullmap
