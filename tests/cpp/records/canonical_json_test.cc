#include "records/canonical_json.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstring>
#include <random>
#include <string>

#include "records/unicode_space.h"

namespace corv::records {
namespace {

std::string canonical(std::string_view text, bool strip = false) {
  json::Arena arena;
  auto v = json::parse(text, arena);
  EXPECT_TRUE(v) << text << ": " << (v ? "" : v.error().message);
  if (!v) return "";
  return stable_json_bytes(strip ? strip_nulls(*v, arena) : *v);
}

TEST(StripNulls, DropsNullLikeMembersOnly) {
  EXPECT_EQ(canonical(R"({"a": null, "b": " NA ", "c": "None", "d": "", "e": [], "f": {}, "g": false, "h": 0,
                         "i": "n/a", "j": "nAn", "k": "NULL"})",
                      true),
            R"({"g":false,"h":0,"i":"n/a"})");
  EXPECT_EQ(canonical("{\"a\": \"\\t  null \", \"b\": \"nulls\", \"c\": \"NULL!\", \"d\": \"0\", "
                      "\"e\": \"\xC2\xA0\xC2\xA0\", \"f\": \"\xE3\x80\x80none\xE2\x80\xA8\", \"g\": \" Keep \"}",
                      true),
            R"({"b":"nulls","c":"NULL!","d":"0","g":" Keep "})");
}

TEST(StripNulls, RecursesIntoObjectsAndArrayElementsOnly) {
  EXPECT_EQ(canonical(R"({"a": {"b": null}})", true), R"({"a":{}})");
  EXPECT_EQ(canonical(R"({"a": [null, "", {"b": null, "c": 1}, [{"c": null}]]})", true),
            R"({"a":[null,"",{"c":1},[{"c":null}]]})");
  EXPECT_EQ(canonical(R"({"a": {"b": {"c": "", "d": [{"e": "na", "f": 2}]}}})", true),
            R"({"a":{"b":{"d":[{"f":2}]}}})");
  EXPECT_EQ(canonical(R"([{"a": null}])", true), R"([{"a":null}])");
  EXPECT_EQ(canonical(R"("null")", true), R"("null")");
}

TEST(StripNulls, LeavesTheInputUnchanged) {
  json::Arena arena;
  auto v = json::parse(R"({"a":null,"b":{"c":""},"d":[{"e":null}]})", arena).value();
  std::string before = stable_json_bytes(v);
  EXPECT_EQ(stable_json_bytes(strip_nulls(v, arena)), R"({"b":{},"d":[{}]})");
  EXPECT_EQ(stable_json_bytes(v), before);
}

TEST(StableJson, CompactInMemberOrderWithMinimalEscapes) {
  EXPECT_EQ(canonical(R"({ "b" : 1 , "a" : [ true , null ] })"), R"({"b":1,"a":[true,null]})");
  EXPECT_EQ(canonical("[\"\\t\\u0001\\u001f\\b\\f\\n\\r\\\"\\\\\\/\\u007f\xC3\xA9\"]"),
            "[\"\\t\\u0001\\u001f\\b\\f\\n\\r\\\"\\\\/\x7f\xC3\xA9\"]");
  EXPECT_EQ(canonical(R"({"k\u0000y":"long string without escapes, past one word"})"),
            R"({"k\u0000y":"long string without escapes, past one word"})");
  EXPECT_EQ(canonical("[[],{},[[]],{\"\":{}}]"), "[[],{},[[]],{\"\":{}}]");
}

TEST(StableJson, NumberLayout) {
  struct Case {
    const char* token;
    const char* text;
  } cases[] = {
      {"1.0", "1.0"},
      {"1e2", "100.0"},
      {"-0", "-0.0"},
      {"0.0", "0.0"},
      {"-0.0", "-0.0"},
      {"0.000001", "1e-6"},
      {"0.00001", "0.00001"},
      {"0.25", "0.25"},
      {"12.5", "12.5"},
      {"1e15", "1000000000000000.0"},
      {"1e16", "1e+16"},
      {"1.5e-7", "1.5e-7"},
      {"5e-324", "5e-324"},
      {"1.7976931348623157e308", "1.7976931348623157e+308"},
      {"123456789012345678901", "1.2345678901234568e+20"},
      {"-5", "-5"},
      {"18446744073709551615", "18446744073709551615"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"-1.25e-10", "-1.25e-10"},
      {"123456.789e3", "123456789.0"},
      {"0.1", "0.1"},
  };
  for (const Case& c : cases) EXPECT_EQ(canonical(c.token), c.text) << c.token;
}

TEST(StableJson, FloatTextReadsBackToTheSameValue) {
  std::mt19937_64 rng(42);
  for (int i = 0; i < 20000; ++i) {
    uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) continue;
    std::string text;
    append_number(json::Number::from_f64(d), text);
    double back = 0;
    auto r = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(r.ec, std::errc()) << text;
    ASSERT_EQ(r.ptr, text.data() + text.size()) << text;
    ASSERT_EQ(std::memcmp(&back, &d, sizeof d), 0) << text;
    ASSERT_TRUE(text.find('.') != std::string::npos || text.find('e') != std::string::npos) << text;
  }
}

TEST(UnicodeSpace, TrimsWhiteSpacePropertyCharacters) {
  EXPECT_EQ(trim_unicode_space("\t\n\v\f\r x \xC2\x85\xC2\xA0"), "x");
  EXPECT_EQ(trim_unicode_space("\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80"), "");
  // Zero-width space and the information separators are not white space.
  EXPECT_EQ(trim_unicode_space("\xE2\x80\x8B"), "\xE2\x80\x8B");
  EXPECT_EQ(trim_unicode_space("\x1F"), "\x1F");
  EXPECT_EQ(trim_unicode_space(" \xC3\xA9 "), "\xC3\xA9");
}

}  // namespace
}  // namespace corv::records
