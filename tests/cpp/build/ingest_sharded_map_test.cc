#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fullmap/build/sharded_map.h"

namespace corv::fullmap {
namespace {

constexpr char kLimit[] = "too many fullmap prefixes";

TEST(ShardedMap, HandsOutDenseIdsInFirstSeenOrder) {
  ShardedMap map;
  std::atomic<uint32_t> counter{0};
  EXPECT_EQ(map.get_or_assign("HGNC", counter, kLimit), 0);
  EXPECT_EQ(map.get_or_assign("MONDO", counter, kLimit), 1);
  EXPECT_EQ(map.get_or_assign("HGNC", counter, kLimit), 0);
  EXPECT_EQ(map.get_or_assign("hgnc", counter, kLimit), 2);
  EXPECT_EQ(map.get_or_assign("", counter, kLimit), 3);
  EXPECT_EQ(counter.load(), 4u);

  auto all = map.to_map();
  EXPECT_EQ(all.size(), 4u);
  EXPECT_EQ(all.at("MONDO"), 1);
  EXPECT_EQ(all.at(""), 3);
}

TEST(ShardedMap, ConcurrentWorkersAgreeOnEveryId) {
  ShardedMap map;
  std::atomic<uint32_t> counter{0};
  constexpr int kTexts = 2000;
  constexpr int kThreads = 6;
  std::vector<std::vector<uint16_t>> seen(kThreads, std::vector<uint16_t>(kTexts));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread walks the texts in its own order.
      for (int k = 0; k < kTexts; ++k) {
        int i = (k * 7 + t * 311) % kTexts;
        seen[t][i] = map.get_or_assign(std::string("text").append(std::to_string(i)), counter, kLimit);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter.load(), static_cast<uint32_t>(kTexts));
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
  std::vector<uint16_t> ids = seen[0];
  std::sort(ids.begin(), ids.end());
  for (int i = 0; i < kTexts; ++i) ASSERT_EQ(ids[i], i) << "ids must be dense and distinct";
}

TEST(ShardedMap, RunningOutOfIdsFailsAndLeavesTheSlotFailed) {
  ShardedMap map;
  std::atomic<uint32_t> counter{0};
  for (uint32_t i = 0; i <= UINT16_MAX; ++i) {
    ASSERT_EQ(map.get_or_assign(std::string("p").append(std::to_string(i)), counter, kLimit), i);
  }
  const std::string overflow = "one too many";
  try {
    map.get_or_assign(overflow, counter, kLimit);
    FAIL() << "the 65,537th text must not get an id";
  } catch (const IngestFault& e) {
    EXPECT_STREQ(e.what(), kLimit);
  }
  EXPECT_EQ(counter.load(), 65537u);

  // Any later use of that slot fails, even for a text it already holds.
  const size_t failed_slot = ShardedMap::slot_of(overflow);
  std::string same_slot_known;
  std::string other_slot_known;
  for (uint32_t i = 0; same_slot_known.empty() || other_slot_known.empty(); ++i) {
    std::string text = std::string("p").append(std::to_string(i));
    (ShardedMap::slot_of(text) == failed_slot ? same_slot_known : other_slot_known) = text;
  }
  EXPECT_THROW(map.get_or_assign(same_slot_known, counter, kLimit), IngestFault);
  EXPECT_NO_THROW(map.get_or_assign(other_slot_known, counter, kLimit));
}

TEST(CurieIdMap, SameTextSameIdAndOnlyTheFirstIsNew) {
  CurieIdMap map;
  std::atomic<uint64_t> counter{0};
  auto a = map.get_or_assign("HGNC:1100", counter);
  auto b = map.get_or_assign("HGNC:1101", counter);
  auto again = map.get_or_assign("HGNC:1100", counter);
  EXPECT_TRUE(a.is_new);
  EXPECT_TRUE(b.is_new);
  EXPECT_FALSE(again.is_new);
  EXPECT_EQ(a.id, 0u);
  EXPECT_EQ(b.id, 1u);
  EXPECT_EQ(again.id, 0u);
  EXPECT_TRUE(map.get_or_assign("hgnc:1100", counter).is_new) << "CURIEs compare exactly";
}

TEST(CurieIdMap, RefusesToReuseIdsPastTheU32Range) {
  CurieIdMap map;
  std::atomic<uint64_t> counter{UINT32_MAX};
  EXPECT_EQ(map.get_or_assign("A:1", counter).id, UINT32_MAX);
  EXPECT_THROW(map.get_or_assign("A:2", counter), IngestFault);
}

TEST(CurieIdMap, ConcurrentFirstSightingsCreateOneIdEach) {
  CurieIdMap map;
  std::atomic<uint64_t> counter{0};
  std::atomic<int> created{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 3000; ++i) {
        if (map.get_or_assign(std::string("X:").append(std::to_string(i)), counter).is_new) ++created;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(created.load(), 3000);
  EXPECT_EQ(counter.load(), 3000u);
}

}  // namespace
}  // namespace corv::fullmap
