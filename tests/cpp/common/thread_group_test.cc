#include "common/thread_group.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace corv {
namespace {

using namespace std::chrono_literals;

TEST(ThreadGroup, ReportsTheFirstFailureInStartOrder) {
  ThreadGroup scope;
  std::atomic<bool> release{false};
  ASSERT_TRUE(scope.spawn([&]() -> Status {
    while (!release) std::this_thread::yield();
    return {};
  }));
  ASSERT_TRUE(scope.spawn([]() -> Status { return fail_runtime("second"); }));
  ASSERT_TRUE(scope.spawn([]() -> Status { return fail_runtime("third"); }));
  // The later failure ends first; start order still decides.
  std::this_thread::sleep_for(20ms);
  release = true;
  Status s = scope.join("panicked");
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message, "second");
}

TEST(ThreadGroup, AnEscapingExceptionBecomesThePanicMessageOrIsRethrown) {
  ThreadGroup scope;
  ASSERT_TRUE(scope.spawn([]() -> Status { throw std::logic_error("boom"); }));
  ASSERT_TRUE(scope.spawn([]() -> Status { return fail_runtime("later"); }));
  Status s = scope.join("fullmap build worker panicked");
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().type, ErrorType::kRuntime);
  EXPECT_EQ(s.error().message, "fullmap build worker panicked");

  // A runner of the caller's own work hands the fault itself back.
  ThreadGroup runner;
  ASSERT_TRUE(runner.spawn([]() -> Status { throw std::logic_error("boom"); }));
  try {
    (void)runner.join_rethrowing();
    ADD_FAILURE() << "the fault was not rethrown";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "boom");
  }
}

}  // namespace
}  // namespace corv
