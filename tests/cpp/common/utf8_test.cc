#include "common/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace corv {
namespace {

TEST(Utf8, AcceptsWellFormedRejectsTheRest) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain ascii text, long enough for the word loop"));
  EXPECT_TRUE(is_valid_utf8("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"));
  for (std::string_view bad : {"\x80", "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF0\x80\x80\xAF",
                               "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xC3", "\xE2\x82", "abcdefgh\xFF"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << testing::PrintToString(std::string(bad));
  }
  EXPECT_EQ(first_invalid_utf8("abcdefghij\xC3\xA9k\xFFz"), 13u);
}

TEST(Utf8, LossyReplacesEachMaximalInvalidSubpart) {
  EXPECT_EQ(utf8_lossy("caf\xC3\xA9"), "caf\xC3\xA9");
  // A truncated three-byte sequence is one replacement, a stray byte another.
  EXPECT_EQ(utf8_lossy("a\xE2\x82z\x80"), "a\xEF\xBF\xBDz\xEF\xBF\xBD");
  EXPECT_EQ(utf8_lossy("\xF0\x9F"), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace corv
