#include "common/utf8.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

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

TEST(Utf8, ErrorNamesTheFirstBadSequenceOrACutOne) {
  EXPECT_EQ(utf8_error("caf\xC3\xA9"), std::nullopt);
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"ab\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xC3\x28", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xE0\x80\xAF", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"x\xE2\x82y", "invalid utf-8 sequence of 2 bytes from index 1"},
      {"\xF0\x9F\x98(", "invalid utf-8 sequence of 3 bytes from index 0"},
      {"\xC3", "incomplete utf-8 byte sequence from index 0"},
      {"x\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 1"},
      {"\xC3\xA9\xED\xA0", "invalid utf-8 sequence of 1 bytes from index 2"},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(utf8_error(bytes), std::optional<std::string>(text)) << testing::PrintToString(std::string(bytes));
  }
}

TEST(Utf8, LossyReplacesEachMaximalInvalidSubpart) {
  EXPECT_EQ(utf8_lossy("caf\xC3\xA9"), "caf\xC3\xA9");
  // A truncated three-byte sequence is one replacement, a stray byte another.
  EXPECT_EQ(utf8_lossy("a\xE2\x82z\x80"), "a\xEF\xBF\xBDz\xEF\xBF\xBD");
  EXPECT_EQ(utf8_lossy("\xF0\x9F"), "\xEF\xBF\xBD");
}

TEST(Utf8, SurrogatesOverlongsAndCodePointsPastTheLastPlaneAreInvalid) {
  EXPECT_EQ(utf8_lossy("plain"), "plain");
  EXPECT_EQ(utf8_lossy("a\xff"
                       "b"),
            "a\xef\xbf\xbd"
            "b");
  // A truncated three-byte sequence is one replacement, not two.
  EXPECT_EQ(utf8_lossy("\xe2\x82z"), "\xef\xbf\xbdz");
  // Surrogates and overlongs are invalid from their first byte on.
  EXPECT_EQ(utf8_lossy("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(utf8_lossy("\xc0\xaf"), "\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_FALSE(first_invalid_utf8("\xf0\x9f\x98\x80 ok 0123456789"));
  EXPECT_EQ(first_invalid_utf8("0123456789abcdef\xf4\x90\x80\x80"), 16u);
}

}  // namespace
}  // namespace corv
