#include "fullmap/lookup/generation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fullmap/lookup/row_lookup.h"
#include "fullmap/store/db_cache.h"
#include "lookup_test_util.h"

namespace corv::fullmap {
namespace {

using corv::testing::ScratchDir;
using testing::FullmapContent;
using testing::write_fullmap;

// One build of a tiny fullmap; builds differ in every table.
FullmapContent build(int n) {
  FullmapContent c;
  c.build_id = std::to_string(n);
  c.shards = 4;
  c.prefixes = {{0, testing::cat("P", std::to_string(n))}};
  c.categories = {{0, testing::cat("C", std::to_string(n))}};
  c.sources = {{0, testing::cat("s", std::to_string(n))}};
  c.curies[0] = CurieRow{0, std::to_string(n), testing::cat("name ", std::to_string(n)), 0, n};
  c.terms["x"] = {{0, 0}};
  return c;
}

TEST(Generation, RebuildBetweenMainOpenAndPinningIsNotMixedIn) {
  ScratchDir dir;
  const auto db = dir / "map.redb";
  write_fullmap(db, build(1));
  int main_opens = 0;
  GenerationOpeners openers = cached_openers();
  openers.open_main = [&](const std::filesystem::path& p) {
    auto main = open_cached(p);
    // A rebuild completes right after the first open of the main file.
    if (main_opens++ == 0) testing::rewrite_fullmap(db, build(2));
    return main;
  };
  auto gen = open_generation(db, openers);
  ASSERT_TRUE(gen) << gen.error().message;
  EXPECT_EQ(main_opens, 2);
  EXPECT_EQ(gen->build_id, 2u);
  EXPECT_EQ(gen->prefixes, (StringTable{{0, "P2"}}));
  EXPECT_EQ(gen->sources, (SourceTable{{0, "s2"}}));

  auto pairs = lookup_pair_terms_db(gen->shards, {"x"}, 1);
  ASSERT_TRUE(pairs) << pairs.error().message;
  auto rows = hydrate_pairs(std::move(*gen), std::move(*pairs));
  ASSERT_TRUE(rows) << rows.error().message;
  ASSERT_EQ(rows->entries.size(), 1u);
  ASSERT_EQ(rows->entries[0].records.size(), 1u);
  const FullmapRecord& r = rows->entries[0].records[0];
  EXPECT_EQ(r.curie, "P2:2");
  EXPECT_EQ(r.preferred_name, "name 2");
  EXPECT_EQ(r.category_name, "C2");
  EXPECT_EQ(r.taxon_id, 2);
  EXPECT_EQ(r.source_name, "s2");
}

TEST(Generation, MainAndShardsThatNeverAgreeFailAfterFiveAttempts) {
  ScratchDir dir;
  const auto main_path = dir / "main.redb";
  const auto other_path = dir / "other.redb";
  write_fullmap(main_path, build(1));
  write_fullmap(other_path, build(2));
  int main_opens = 0;
  const GenerationOpeners openers{
      [&](const std::filesystem::path& p) {
        ++main_opens;
        return open_cached(p);
      },
      [&](const std::filesystem::path&) { return open_cached_shards(other_path); },
  };
  auto gen = open_generation(main_path, openers);
  ASSERT_FALSE(gen);
  EXPECT_EQ(gen.error().message, testing::cat("fullmap at ", std::filesystem::canonical(main_path).string(),
                                              " kept changing generation; could not pin one primary-plus-shards "
                                              "bundle after 5 attempts"));
  EXPECT_EQ(main_opens, 5);
}

TEST(Generation, LookupAfterARebuildReadsOnlyTheNewBuild) {
  ScratchDir dir;
  const auto db = dir / "map.redb";
  write_fullmap(db, build(1));
  auto before = lookup_terms(db, {"x"}, std::nullopt);
  ASSERT_TRUE(before) << before.error().message;
  ASSERT_EQ(before->records.size(), 1u);
  EXPECT_EQ(before->records[0].curie, "P1:1");

  testing::rewrite_fullmap(db, build(3));
  auto after = lookup_terms(db, {"x"}, std::nullopt);
  ASSERT_TRUE(after) << after.error().message;
  ASSERT_EQ(after->records.size(), 1u);
  EXPECT_EQ(after->records[0].curie, "P3:3");
  EXPECT_EQ(after->records[0].source_name, "s3");
}

}  // namespace
}  // namespace corv::fullmap
