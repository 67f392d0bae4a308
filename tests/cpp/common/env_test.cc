#include "common/env.h"
#include "common/status.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace corv {
namespace {

size_t with_env(const char* value) {
  setenv("CORV_TEST_ENV_USIZE", value, 1);
  return env_usize("CORV_TEST_ENV_USIZE", 7);
}

TEST(EnvUsize, AcceptsPlainSignedAndPaddedCounts) {
  EXPECT_EQ(with_env("+42"), 42u);
  EXPECT_EQ(with_env("0042"), 42u);
  EXPECT_EQ(with_env("0"), 0u);
  EXPECT_EQ(with_env("18446744073709551615"), 18446744073709551615ull);
}

TEST(EnvUsize, FallsBackOnAnythingElse) {
  for (const char* bad : {"", "+", "-", "18446744073709551616", " 42", "42 ", "-1", "4_2", "++4", "4.0"}) {
    EXPECT_EQ(with_env(bad), 7u) << "value '" << bad << "'";
  }
  unsetenv("CORV_TEST_ENV_USIZE");
  EXPECT_EQ(env_usize("CORV_TEST_ENV_USIZE", 7), 7u);
}

TEST(IoError, FormatsLikeTheOperatingSystem) {
  EXPECT_EQ(Error::io(2).message, "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace corv
