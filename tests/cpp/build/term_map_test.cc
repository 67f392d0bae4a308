#include "fullmap/build/term_map.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace corv::fullmap {
namespace {

std::map<std::string, std::vector<Posting>> contents(const TermMap& map) {
  std::vector<const TermMap::Entry*> order;
  map.for_each([&](const TermMap::Entry& e) {
    EXPECT_EQ(e.hash, TermMap::hash_of(e.term()));
    order.push_back(&e);
  });
  std::vector<uint32_t> offsets;
  std::vector<Posting> flat;
  map.group_postings(order, offsets, flat);
  EXPECT_EQ(flat.size(), map.posting_count());
  std::map<std::string, std::vector<Posting>> out;
  for (size_t i = 0; i < order.size(); ++i) {
    const std::vector<Posting> group(flat.begin() + offsets[i], flat.begin() + offsets[i + 1]);
    EXPECT_TRUE(out.emplace(std::string(order[i]->term()), group).second) << "term stored twice";
  }
  return out;
}

std::string term_name(uint32_t i) {
  std::string s = std::to_string(i);
  s.insert(s.begin(), 't');
  return s;
}

TEST(TermMap, KeepsEveryTermAndPostingOrderAcrossGrowth) {
  TermMap map;
  std::map<std::string, std::vector<Posting>> want;
  // Enough keys for the table to outgrow the caches and queue its inserts;
  // every third key is met again later, so chains run through postings
  // added after the table moved.
  for (uint32_t i = 0; i < 100000; ++i) {
    const std::string term = term_name(i);
    map.add(term, {i, static_cast<uint8_t>(i)});
    want[term].push_back({i, static_cast<uint8_t>(i)});
    if (i % 3 == 0) {
      const std::string earlier = term_name(i / 3);
      map.add(earlier, {i, 9});
      want[earlier].push_back({i, 9});
    }
  }
  EXPECT_EQ(map.size(), want.size());
  EXPECT_EQ(contents(map), want);

  // Counting must see queued inserts, whether or not they add a key.
  map.add("t5", {1, 1});
  EXPECT_FALSE(map.holds_at_least(want.size() + 1));
  map.add("fresh", {1, 1});
  EXPECT_TRUE(map.holds_at_least(want.size() + 1));
  EXPECT_EQ(map.size(), want.size() + 1);
  want["t5"].push_back({1, 1});
  want["fresh"].push_back({1, 1});
  EXPECT_EQ(contents(map), want);
  EXPECT_EQ(map.postings("t300"), want["t300"]);
  EXPECT_TRUE(map.postings("absent").empty());
}

TEST(TermMap, ClearForgetsTermsAndKeepsTheTable) {
  TermMap map;
  // Longer than an arena block: stored apart and released by the clear.
  const std::string huge(3u << 20, 'h');
  for (uint32_t i = 0; i < 5000; ++i) {
    std::string term(40, static_cast<char>('a' + i % 26));
    term += std::to_string(i);
    map.add(term, {i, 0});
  }
  map.add(huge, {1, 1});
  map.add("", {2, 2});
  const size_t capacity = map.capacity();
  map.clear();
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(map.posting_count(), 0u);
  EXPECT_EQ(map.capacity(), capacity);
  EXPECT_TRUE(map.postings(huge).empty());
  EXPECT_TRUE(map.postings("").empty());

  // Reused storage must not leak old bytes into new terms.
  map.add("new", {3, 0});
  map.add(huge, {4, 0});
  map.add("", {5, 0});
  map.add("new", {6, 1});
  const std::map<std::string, std::vector<Posting>> want = {
      {"", {{5, 0}}}, {"new", {{3, 0}, {6, 1}}}, {huge, {{4, 0}}}};
  EXPECT_EQ(contents(map), want);
}

}  // namespace
}  // namespace corv::fullmap
