#include "fullmap/lookup/group_fanout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "lookup_test_util.h"

namespace corv::fullmap {
namespace {

// Groups identified by the position of their single term.
std::vector<ShardGroup> groups(size_t n) {
  auto terms = std::make_shared<std::vector<std::string>>();
  std::vector<ShardGroup> out(n);
  for (size_t i = 0; i < n; ++i) {
    terms->push_back(testing::cat("g", std::to_string(i)));
    out[i].terms = terms;
    out[i].probes.push_back(TermProbe{0, i});
  }
  return out;
}

size_t id(const ShardGroup& g) { return g.probes[0].position; }

GroupHits hit_of(const ShardGroup& group) { return {PostingsHit{id(group), {{static_cast<uint32_t>(id(group)), 0}}}}; }

// A gate that group readers wait on; shared so that readers still waiting
// after the test body ends keep it alive.
struct Gate {
  std::promise<void> open;
  std::shared_future<void> opened = open.get_future().share();
  std::promise<void> finished;  // set by the reader that was held
};

TEST(GroupFanout, FirstGroupsGoToThreadsAndTheRestRunHereInOrder) {
  struct Seen {
    std::mutex mu;
    std::vector<std::pair<size_t, std::thread::id>> order;
  };
  auto seen = std::make_shared<Seen>();
  GroupReader reader = [seen](const ShardGroup& g) -> Result<GroupHits> {
    std::lock_guard lock(seen->mu);
    seen->order.emplace_back(id(g), std::this_thread::get_id());
    return hit_of(g);
  };
  auto hits = read_groups(groups(5), 2, reader);
  ASSERT_TRUE(hits) << hits.error().message;
  std::vector<size_t> returned;
  for (const GroupHits& h : *hits) returned.push_back(h.at(0).position);
  std::sort(returned.begin(), returned.end());
  EXPECT_EQ(returned, (std::vector<size_t>{0, 1, 2, 3, 4}));

  const auto me = std::this_thread::get_id();
  std::vector<size_t> here;
  std::vector<std::thread::id> elsewhere(2);
  for (auto [position, id] : seen->order) {
    if (position < 2) {
      elsewhere[position] = id;
    } else {
      EXPECT_EQ(id, me) << "group " << position;
      here.push_back(position);
    }
  }
  EXPECT_EQ(here, (std::vector<size_t>{2, 3, 4}));
  EXPECT_NE(elsewhere[0], me);
  EXPECT_NE(elsewhere[1], me);
  EXPECT_NE(elsewhere[0], elsewhere[1]);
}

TEST(GroupFanout, ExceptionEscapingAThreadIsReportedAsPanic) {
  GroupReader reader = [](const ShardGroup& g) -> Result<GroupHits> {
    if (id(g) == 1) throw std::runtime_error("boom");
    return hit_of(g);
  };
  auto hits = read_groups(groups(3), 3, reader);
  ASSERT_FALSE(hits);
  EXPECT_EQ(hits.error().message, "fullmap lookup thread panicked");
  EXPECT_EQ(hits.error().type, ErrorType::kRuntime);
}

// The caller returns on thread 0's failure while thread 1 is still held; the
// held thread later finishes on memory it owns (run under ASan to see it).
TEST(GroupFanout, ReturnsOnFirstFailureWithoutWaitingForLaterThreads) {
  auto gate = std::make_shared<Gate>();
  GroupReader reader = [gate](const ShardGroup& g) -> Result<GroupHits> {
    if (id(g) == 0) return fail_runtime("early");
    gate->opened.wait();
    // Reads the shared terms after the caller has returned.
    auto hits = hit_of(g);
    hits[0].postings[0].source_id = static_cast<uint8_t>((*g.terms)[id(g)].size());
    gate->finished.set_value();
    return hits;
  };
  auto finished = gate->finished.get_future();
  auto hits = read_groups(groups(2), 2, reader);
  ASSERT_FALSE(hits);
  EXPECT_EQ(hits.error().message, "early");
  EXPECT_EQ(finished.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  gate->open.set_value();
  EXPECT_EQ(finished.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(GroupFanout, CallingThreadFailureReturnsBeforeAnyJoin) {
  auto gate = std::make_shared<Gate>();
  GroupReader reader = [gate](const ShardGroup& g) -> Result<GroupHits> {
    if (id(g) == 1) return fail_runtime("here");
    gate->opened.wait();
    gate->finished.set_value();
    return hit_of(g);
  };
  auto finished = gate->finished.get_future();
  auto hits = read_groups(groups(2), 1, reader);
  ASSERT_FALSE(hits);
  EXPECT_EQ(hits.error().message, "here");
  gate->open.set_value();
  EXPECT_EQ(finished.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

}  // namespace
}  // namespace corv::fullmap
