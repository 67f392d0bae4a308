#include "fullmap/lookup/pair_lookup.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/cores.h"
#include "fullmap/lookup/thread_budget.h"
#include "lookup_test_util.h"

namespace corv::fullmap {
namespace {

using corv::testing::ScratchDir;
using testing::FullmapContent;
using testing::RawRecord;
using testing::term_in_shard;
using testing::write_fullmap;

// Terms "t0" .. "t{n-1}"; every seventh has no postings, the others one to
// three.
FullmapContent numbered_terms(uint64_t shards, int n) {
  FullmapContent c;
  c.shards = shards;
  for (int i = 0; i < n; ++i) {
    std::vector<TermPosting> postings;
    if (i % 7 != 0) {
      for (int k = 0; k <= i % 3; ++k) postings.push_back({static_cast<uint32_t>(i * 4 + k), static_cast<uint8_t>(k)});
    }
    c.terms[testing::cat("t", std::to_string(i))] = postings;
  }
  return c;
}

Result<PairsResult> lookup(const std::filesystem::path& db, std::vector<std::string> terms,
                           std::optional<size_t> threads) {
  return lookup_pair_terms(db, std::move(terms), threads);
}

PairsResult expected_pairs(const FullmapContent& c, const std::vector<std::string>& query) {
  PairsResult out;
  for (const std::string& term : query) {
    auto it = c.terms.find(term);
    if (it != c.terms.end()) out.push_back({term, it->second});
  }
  return out;
}

TEST(ThreadBudget, DefaultFollowsBatchSizeAndBudgetIsClamped) {
  EXPECT_EQ(default_lookup_workers(0), 1u);
  EXPECT_EQ(default_lookup_workers(LOOKUP_PARALLEL_MIN - 1), 1u);
  EXPECT_EQ(default_lookup_workers(LOOKUP_PARALLEL_MIN), available_cores());
  EXPECT_GE(available_cores(), 1u);

  EXPECT_EQ(effective_lookup_budget(0, std::nullopt), 1u);
  EXPECT_EQ(effective_lookup_budget(0, 8), 1u);
  EXPECT_EQ(effective_lookup_budget(5, 0), 1u);
  EXPECT_EQ(effective_lookup_budget(3, 16), 3u);
  EXPECT_EQ(effective_lookup_budget(1023, std::nullopt), 1u);
  EXPECT_EQ(effective_lookup_budget(1024, std::nullopt), std::min<size_t>(1024, available_cores()));
  EXPECT_EQ(effective_lookup_budget(5000, 1), 1u);
}

TEST(PairLookup, ExactTermsOnlyInInputOrderWithRepeatsOnEveryPath) {
  ScratchDir dir;
  const auto db = dir / "map.redb";
  const FullmapContent c = numbered_terms(16, 40);
  write_fullmap(db, c);
  const std::vector<std::string> query = {"t3",     "nope", "t1", "t3",  "T1",  " t1", "t1 ",
                                          "\"t1\"", "'t1'", "",   "t14", "t39", "t3"};
  const PairsResult want = {{"t3", c.terms.at("t3")},   {"t1", c.terms.at("t1")}, {"t3", c.terms.at("t3")}, {"t14", {}},
                            {"t39", c.terms.at("t39")}, {"t3", c.terms.at("t3")}};
  for (std::optional<size_t> threads : {std::optional<size_t>(), std::optional<size_t>(0), std::optional<size_t>(1),
                                        std::optional<size_t>(2), std::optional<size_t>(16)}) {
    auto got = lookup(db, query, threads);
    ASSERT_TRUE(got) << got.error().message;
    EXPECT_EQ(*got, want) << "threads " << threads.value_or(999);
  }
}

TEST(PairLookup, ThreadedAndInlineAnswersAgree) {
  for (uint64_t shards : {1, 2, 4, 16}) {
    ScratchDir dir;
    const auto db = dir / "map.redb";
    const FullmapContent c = numbered_terms(shards, 600);
    write_fullmap(db, c);
    std::mt19937 rng(static_cast<unsigned>(shards));
    for (size_t n : {size_t{1023}, size_t{1024}}) {
      std::vector<std::string> query;
      for (size_t i = 0; i < n; ++i) query.push_back(testing::cat("t", std::to_string(rng() % 800)));  // a quarter miss
      auto inline_result = lookup(db, query, 1);
      ASSERT_TRUE(inline_result) << inline_result.error().message;
      EXPECT_EQ(*inline_result, expected_pairs(c, query));
      for (std::optional<size_t> threads : {std::optional<size_t>(), std::optional<size_t>(0), std::optional<size_t>(2),
                                            std::optional<size_t>(3), std::optional<size_t>(16)}) {
        auto got = lookup(db, query, threads);
        ASSERT_TRUE(got) << got.error().message;
        EXPECT_EQ(*got, *inline_result) << "shards " << shards << " n " << n << " threads " << threads.value_or(999);
      }
    }
  }
}

TEST(PairLookup, KeyHoldingAnotherTermWithTheSameHashIsAMiss) {
  ScratchDir dir;
  const auto db = dir / "map.redb";
  FullmapContent c;
  c.shards = 2;
  const uint64_t hash = term_hash("alpha");
  std::string value;
  const std::vector<TermPosting> postings = {{1, 0}};
  encode_term_record("beta", std::span<const TermPosting>(postings), value);
  c.raw_records.push_back({shard_of(hash, 2), hash, value});
  c.terms["gamma"] = postings;
  write_fullmap(db, c);
  for (size_t threads : {1, 2}) {
    auto got = lookup(db, {"alpha", "gamma", "beta"}, threads);
    ASSERT_TRUE(got) << got.error().message;
    EXPECT_EQ(*got, (PairsResult{{"gamma", postings}}));
  }
}

TEST(PairLookup, EmptyQueryStillOpensAndPinsTheFullmap) {
  ScratchDir dir;
  EXPECT_FALSE(lookup(dir / "absent.redb", {}, std::nullopt));

  const auto db = dir / "map.redb";
  write_fullmap(db, numbered_terms(4, 3));
  auto ok = lookup(db, {}, std::nullopt);
  ASSERT_TRUE(ok) << ok.error().message;
  EXPECT_TRUE(ok->empty());

  // A shard file that was never opened (so is not cached) and is gone.
  const auto broken = dir / "broken.redb";
  write_fullmap(broken, numbered_terms(4, 3));
  std::filesystem::remove(shard_path(broken, 2));
  auto missing_shard = lookup(broken, {}, std::nullopt);
  ASSERT_FALSE(missing_shard);
  EXPECT_NE(missing_shard.error().message.find("os error"), std::string::npos) << missing_shard.error().message;
}

TEST(PairLookup, InlineReadsEveryShardWhileThreadsReadOnlyTheirGroups) {
  ScratchDir dir;
  const auto db = dir / "map.redb";
  FullmapContent c;
  c.shards = 16;
  const std::string a = term_in_shard("a", 0, 16);
  const std::string b = term_in_shard("b", 5, 16);
  c.terms[a] = {{1, 0}};
  c.terms[b] = {{2, 1}};
  c.shards_without_records = {3};
  write_fullmap(db, c);

  auto inline_result = lookup(db, {a, b}, 1);
  ASSERT_FALSE(inline_result);
  EXPECT_EQ(inline_result.error().message, "table \"records\" does not exist");

  auto threaded = lookup(db, {a, b}, 2);
  ASSERT_TRUE(threaded) << threaded.error().message;
  EXPECT_EQ(*threaded, (PairsResult{{a, {{1, 0}}}, {b, {{2, 1}}}}));
}

// One term in each of the 16 shards; shard 0's record is cut short and shard 9
// has no "records" table. Which failure wins shows which groups ran on
// threads (joined in shard order) and which on the calling thread (read
// before any join).
TEST(PairLookup, SurplusGroupsRunOnTheCallingThreadBeforeAnyJoin) {
  ScratchDir dir;
  const auto db = dir / "map.redb";
  FullmapContent c;
  c.shards = 16;
  std::vector<std::string> query;
  for (uint64_t s = 0; s < 16; ++s) query.push_back(term_in_shard("q", s, 16));
  for (uint64_t s = 1; s < 16; ++s) c.terms[query[s]] = {{static_cast<uint32_t>(s), 0}};
  std::string whole;
  const std::vector<TermPosting> postings = {{7, 0}};
  encode_term_record(query[0], std::span<const TermPosting>(postings), whole);
  c.raw_records.push_back({0, term_hash(query[0]), whole.substr(0, whole.size() - 2)});
  c.shards_without_records = {9};
  write_fullmap(db, c);

  const std::string truncated = "invalid record: unexpected end of data";
  const std::string no_table = "table \"records\" does not exist";
  for (auto [threads, want] : std::vector<std::pair<size_t, std::string>>{
           {1, no_table}, {2, no_table}, {9, no_table}, {10, truncated}, {16, truncated}}) {
    auto got = lookup(db, query, threads);
    ASSERT_FALSE(got) << "threads " << threads;
    EXPECT_EQ(got.error().message, want) << "threads " << threads;
  }
}

// Large batches read their keys in page order rather than input order; the
// failure reported must still be the first in input order.
TEST(PairLookup, FirstFailureInInputOrderAlsoForLargeBatches) {
  ScratchDir dir;
  const auto db = dir / "map.redb";
  FullmapContent c = numbered_terms(2, 600);
  const std::vector<TermPosting> one = {{1, 0}};
  std::string bad_utf8;
  encode_term_record("bad\xff", std::span<const TermPosting>(one), bad_utf8);
  std::string truncated;
  encode_term_record("cut", std::span<const TermPosting>(one), truncated);
  truncated.resize(truncated.size() - 1);
  // Both in one shard, so that the threaded path reads them in one group.
  const std::string utf8_query = term_in_shard("utf8", 0, 2);
  const std::string cut_query = term_in_shard("cut", 0, 2);
  c.raw_records.push_back({0, term_hash(utf8_query), bad_utf8});
  c.raw_records.push_back({0, term_hash(cut_query), truncated});
  write_fullmap(db, c);

  std::vector<std::string> query;
  for (int i = 0; i < 1000; ++i) query.push_back(testing::cat("t", std::to_string(i % 600)));
  const std::string not_utf8 = "invalid record: string is not valid UTF-8 (bad byte at offset 3)";
  const std::string cut = "invalid record: unexpected end of data";
  for (size_t threads : {1, 2}) {
    std::vector<std::string> a = query;
    a[100] = cut_query;
    a[900] = utf8_query;
    auto got = lookup(db, a, threads);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().message, cut) << "threads " << threads;

    std::vector<std::string> b = query;
    b[100] = utf8_query;
    b[900] = cut_query;
    got = lookup(db, b, threads);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().message, not_utf8) << "threads " << threads;
  }
}

}  // namespace
}  // namespace corv::fullmap
