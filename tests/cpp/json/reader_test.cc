#include "json/reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "json/value.h"

namespace corv::json {
namespace {

std::string parse_error(std::string_view text) {
  Arena arena;
  auto v = parse(text, arena);
  return v ? "ok" : v.error().message;
}

TEST(JsonSyntax, ErrorTextsAndPositions) {
  struct Case {
    std::string text;
    std::string error;
  } cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   ", "EOF while parsing a value at line 1 column 3"},
      {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {"x", "expected value at line 1 column 1"},
      {"{\"a\":1} x", "trailing characters at line 1 column 9"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{a:1}", "key must be a string at line 1 column 2"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"\"ab", "EOF while parsing a string at line 1 column 3"},
      {"nul", "EOF while parsing a value at line 1 column 3"},
      {"nulx", "expected ident at line 1 column 4"},
      {"[01]", "invalid number at line 1 column 3"},
      {"-a", "invalid number at line 1 column 2"},
      {"1.", "EOF while parsing a value at line 1 column 2"},
      {"1.x", "invalid number at line 1 column 3"},
      {"1ex", "invalid number at line 1 column 3"},
      {"1e400", "number out of range at line 1 column 5"},
      {"[-1e400]", "number out of range at line 1 column 7"},
      {"1e9999999999", "number out of range at line 1 column 12"},
      {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 7"},
      {"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\ud800\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\xFF\"", "invalid unicode code point at line 1 column 3"},
      {"\"\xED\xA0\x80\"", "invalid unicode code point at line 1 column 5"},
      {"[1,\n  x]", "expected value at line 2 column 3"},
      // An empty inner container must not make the next key look first.
      {"{\"a\":[] \"b\":1}", "expected `,` or `}` at line 1 column 9"},
      {"{\"a\":{} \"b\":1}", "expected `,` or `}` at line 1 column 9"},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_error(c.text), c.error) << "input: " << c.text;
}

TEST(JsonSyntax, NestingLimit) {
  std::string ok = std::string(127, '[') + std::string(127, ']');
  EXPECT_EQ(parse_error(ok), "ok");
  std::string deep = std::string(128, '[') + std::string(128, ']');
  EXPECT_EQ(parse_error(deep), "recursion limit exceeded at line 1 column 128");
  std::string objects;
  for (int i = 0; i < 128; ++i) objects += "{\"a\":";
  EXPECT_EQ(parse_error(objects), "recursion limit exceeded at line 1 column " + std::to_string(128 * 5 - 4));

  std::string member = "{\"x\":" + deep + "}";
  Reader r(member);
  ASSERT_TRUE(r.begin_object());
  std::string_view key;
  std::string scratch;
  ASSERT_TRUE(r.next_member(key, scratch).value());
  auto skipped = r.skip_value();
  ASSERT_FALSE(skipped);
  EXPECT_EQ(skipped.error().message, "recursion limit exceeded at line 1 column 132");
}

Number number_of(std::string_view text) {
  Reader r(text);
  auto n = r.read_number();
  EXPECT_TRUE(n) << text << ": " << (n ? "" : n.error().message);
  EXPECT_TRUE(r.finish()) << text;
  return n ? *n : Number();
}

TEST(JsonNumbers, IntegerKindsAndFloatFallback) {
  Number n = number_of("18446744073709551615");
  EXPECT_EQ(n.kind, Number::Kind::kU64);
  EXPECT_EQ(n.u64, 18446744073709551615ULL);

  n = number_of("18446744073709551616");
  EXPECT_EQ(n.kind, Number::Kind::kF64);
  EXPECT_EQ(n.f64, 18446744073709551616.0);

  n = number_of("-9223372036854775808");
  EXPECT_EQ(n.kind, Number::Kind::kI64);
  EXPECT_EQ(n.i64, INT64_MIN);

  n = number_of("-9223372036854775809");
  EXPECT_EQ(n.kind, Number::Kind::kF64);
  EXPECT_EQ(n.f64, -9223372036854775808.0);

  n = number_of("-0");
  EXPECT_EQ(n.kind, Number::Kind::kF64);
  EXPECT_EQ(n.f64, 0.0);
  EXPECT_TRUE(std::signbit(n.f64));

  n = number_of("0");
  EXPECT_EQ(n.kind, Number::Kind::kU64);
  n = number_of("-7");
  EXPECT_EQ(n.kind, Number::Kind::kI64);
  EXPECT_EQ(n.i64, -7);
  n = number_of("1.0");
  EXPECT_EQ(n.kind, Number::Kind::kF64);
  n = number_of("1E2");
  EXPECT_EQ(n.f64, 100.0);
  n = number_of("123456789012345678901");
  EXPECT_EQ(n.f64, 1.2345678901234568e20);
}

TEST(JsonNumbers, UnderflowIsZeroAndKeepsSign) {
  EXPECT_EQ(number_of("1e-400").f64, 0.0);
  EXPECT_TRUE(std::signbit(number_of("-1e-400").f64));
  EXPECT_EQ(number_of("1e-9999999999").f64, 0.0);
  EXPECT_EQ(number_of("0e9999999999").f64, 0.0);
  EXPECT_EQ(number_of("4e-320").f64, 4e-320);  // subnormal stays
  EXPECT_EQ(number_of("1.7976931348623157e308").f64, 1.7976931348623157e308);
}

TEST(JsonStrings, ViewsWithoutEscapesDecodedCopiesWithThem) {
  std::string text = R"(["plain", "tab\there", "\u00e9\ud83d\ude00\/"])";
  Reader r(text);
  std::string scratch;
  ASSERT_TRUE(r.begin_array());
  ASSERT_TRUE(r.next_element().value());
  auto plain = r.read_string(scratch);
  ASSERT_TRUE(plain);
  EXPECT_EQ(*plain, "plain");
  EXPECT_GE(plain->data(), text.data());
  EXPECT_LT(plain->data(), text.data() + text.size());

  ASSERT_TRUE(r.next_element().value());
  auto tab = r.read_string(scratch);
  ASSERT_TRUE(tab);
  EXPECT_EQ(*tab, "tab\there");
  EXPECT_EQ(tab->data(), scratch.data());

  ASSERT_TRUE(r.next_element().value());
  auto astral = r.read_string(scratch);
  ASSERT_TRUE(astral);
  EXPECT_EQ(*astral, "\xC3\xA9\xF0\x9F\x98\x80/");
  EXPECT_FALSE(r.next_element().value());
  EXPECT_TRUE(r.finish());
}

TEST(JsonStrings, TrustedInputSkipsTheUtf8Check) {
  Reader r("\"\xFF\"", /*assume_valid_utf8=*/true);
  std::string scratch;
  EXPECT_TRUE(r.read_string(scratch));
}

TEST(JsonPull, TypeErrorsNameTheValueAndPointAfterIt) {
  struct Case {
    std::string member;
    std::string error;
  } cases[] = {
      {R"({"id": 42})", "invalid type: integer `42`, expected a string at line 1 column 9"},
      {R"({"id":-3})", "invalid type: integer `-3`, expected a string at line 1 column 8"},
      {R"({"id":1e20})",
       "invalid type: floating point `100000000000000000000.0`, expected a string at line 1 column 10"},
      {R"({"id":2.5e-7})", "invalid type: floating point `0.00000025`, expected a string at line 1 column 12"},
      {R"({"id":true})", "invalid type: boolean `true`, expected a string at line 1 column 10"},
      {R"({"id":null})", "invalid type: null, expected a string at line 1 column 10"},
      {R"({"id":[1]})", "invalid type: sequence, expected a string at line 1 column 6"},
      {R"({"id":{}})", "invalid type: map, expected a string at line 1 column 6"},
      {R"({"id":1x})", "invalid type: integer `1`, expected a string at line 1 column 7"},
      {R"({"id" 1})", "expected `:` at line 1 column 7"},
  };
  for (const Case& c : cases) {
    Reader r(c.member);
    std::string key_buf, val_buf;
    ASSERT_TRUE(r.begin_object());
    std::string_view key;
    ASSERT_TRUE(r.next_member(key, key_buf).value());
    EXPECT_EQ(key, "id");
    auto s = r.read_string(val_buf);
    ASSERT_FALSE(s) << c.member;
    EXPECT_EQ(s.error().message, c.error) << c.member;
  }

  Reader r(R"(["a\"b\tc"])");
  auto err = r.invalid_type("a map");
  EXPECT_EQ(err.message, "invalid type: sequence, expected a map at line 1 column 0");
  ASSERT_TRUE(r.begin_array());
  ASSERT_TRUE(r.next_element().value());
  EXPECT_EQ(r.invalid_type("u32").message, "invalid type: string \"a\\\"b\\tc\", expected u32 at line 1 column 10");
}

TEST(JsonPull, DecoderErrorsArePositionedWhereTheDecoderStands) {
  Reader r(R"({"id":"a","id":"b"})");
  std::string key_buf, val_buf;
  std::string_view key;
  ASSERT_TRUE(r.begin_object());
  ASSERT_TRUE(r.next_member(key, key_buf).value());
  ASSERT_TRUE(r.read_string(val_buf));
  ASSERT_TRUE(r.next_member(key, key_buf).value());
  // Straight after the repeated key, before its ':'.
  EXPECT_EQ(r.error_here(duplicate_field("id")).message, "duplicate field `id` at line 1 column 14");

  Reader m(R"({"x":1} )");
  ASSERT_TRUE(m.begin_object());
  ASSERT_TRUE(m.next_member(key, key_buf).value());
  ASSERT_TRUE(m.skip_value());
  EXPECT_FALSE(m.next_member(key, key_buf).value());
  EXPECT_EQ(m.error_here(missing_field("y")).message, "missing field `y` at line 1 column 7");
  EXPECT_EQ(Reader("[42]").error_here(unknown_variant_untagged("EquivId")).message,
            "data did not match any variant of untagged enum EquivId at line 1 column 0");
}

TEST(JsonPull, SkipScansWithoutConvertingButStillChecksSyntax) {
  std::string text = R"({"big":1e400,"lone":"\ud800","deep":[{"a":[1,{"b":null}]},"x"],"keep":"k"})";
  Reader r(text);
  std::string key_buf, val_buf;
  std::string_view key;
  std::string kept;
  ASSERT_TRUE(r.begin_object());
  for (;;) {
    auto more = r.next_member(key, key_buf);
    ASSERT_TRUE(more) << more.error().message;
    if (!*more) break;
    if (key == "keep") {
      kept = std::string(r.read_string(val_buf).value());
    } else {
      auto s = r.skip_value();
      ASSERT_TRUE(s) << s.error().message;
    }
  }
  EXPECT_EQ(kept, "k");
  EXPECT_TRUE(r.finish());

  for (std::string_view bad : {R"({"a":"x)", "{\"a\":\"\x01\"}", R"({"a":[1 2]})", R"({"a":{"b" 1}})", R"({"a":01})",
                               R"({"a":tru})", R"({"a":[1,]})"}) {
    Reader b(bad);
    ASSERT_TRUE(b.begin_object());
    ASSERT_TRUE(b.next_member(key, key_buf).value());
    EXPECT_FALSE(b.skip_value()) << bad;
  }
}

TEST(JsonPull, PeekClassifiesAndTakesTheColon) {
  Reader r(" { \"k\" : [ null , true , -1 , \"s\" , {} ] } ");
  std::string key_buf, val_buf;
  std::string_view key;
  EXPECT_EQ(r.peek(), TokenKind::kObject);
  ASSERT_TRUE(r.begin_object());
  ASSERT_TRUE(r.next_member(key, key_buf).value());
  EXPECT_EQ(r.peek(), TokenKind::kArray);
  ASSERT_TRUE(r.begin_array());
  TokenKind expected[] = {TokenKind::kNull, TokenKind::kTrue, TokenKind::kNumber, TokenKind::kString,
                          TokenKind::kObject};
  for (TokenKind kind : expected) {
    ASSERT_TRUE(r.next_element().value());
    EXPECT_EQ(r.peek(), kind);
    ASSERT_TRUE(r.skip_value());
  }
  EXPECT_FALSE(r.next_element().value());
  EXPECT_FALSE(r.next_member(key, key_buf).value());
  EXPECT_EQ(r.peek(), TokenKind::kEnd);
  EXPECT_EQ(r.depth(), 0);
  EXPECT_TRUE(r.finish());
}

}  // namespace
}  // namespace corv::json
