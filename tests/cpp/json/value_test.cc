#include "json/value.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corv::json {
namespace {

// Built by append: GCC 12 warns falsely on literal + std::to_string.
std::string key(int i) {
  std::string k = "k";
  k += std::to_string(i);
  return k;
}

std::vector<std::string> keys_of(const Value& v) {
  std::vector<std::string> keys;
  for (const Member& m : v.members()) keys.emplace_back(m.key);
  return keys;
}

TEST(JsonTree, RepeatedKeyKeepsFirstPositionAndLastValue) {
  Arena arena;
  auto v = parse(R"({"a":1,"b":2,"a":{"x":true},"c":3,"b":null})", arena);
  ASSERT_TRUE(v) << v.error().message;
  EXPECT_EQ(keys_of(*v), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(v->find("a")->is_object());
  EXPECT_TRUE(v->find("b")->is_null());
  EXPECT_EQ(v->find("c")->as_number().u64, 3u);
}

TEST(JsonTree, RepeatedKeysInLargeObjects) {
  // Past the linear-scan size the lookup changes; the result must not.
  std::string text = "{";
  auto add = [&](int i, int value) {
    text += '"';
    text += key(i);
    text += "\":";
    text += std::to_string(value);
    text += ',';
  };
  for (int i = 0; i < 40; ++i) add(i, i);
  for (int i = 0; i < 40; i += 7) add(i, 1000 + i);
  text += "\"k3\":\"last\"}";
  Arena arena;
  auto v = parse(text, arena);
  ASSERT_TRUE(v) << v.error().message;
  ASSERT_EQ(v->members().size(), 40u);
  for (int i = 0; i < 40; ++i) {
    const Member& m = v->members()[static_cast<size_t>(i)];
    EXPECT_EQ(m.key, key(i));
    if (i == 3) {
      EXPECT_EQ(m.value.as_string(), "last");
    } else {
      EXPECT_EQ(m.value.as_number().u64, static_cast<uint64_t>(i % 7 == 0 ? 1000 + i : i));
    }
  }
}

TEST(JsonTree, ParseCopiesStringsParseBorrowingDoesNot) {
  std::string text = R"({"key":"value","esc":"a\nb"})";
  Arena arena;
  auto copied = parse(text, arena);
  auto borrowed = parse_borrowing(text, arena);
  ASSERT_TRUE(copied && borrowed);
  const char* lo = text.data();
  const char* hi = text.data() + text.size();
  auto inside = [&](std::string_view s) { return s.data() >= lo && s.data() < hi; };
  EXPECT_FALSE(inside(copied->members()[0].key));
  EXPECT_FALSE(inside(copied->find("key")->as_string()));
  EXPECT_TRUE(inside(borrowed->members()[0].key));
  EXPECT_TRUE(inside(borrowed->find("key")->as_string()));
  EXPECT_FALSE(inside(borrowed->find("esc")->as_string()));  // decoded, so owned
  text.assign(text.size(), 'x');
  EXPECT_EQ(copied->find("key")->as_string(), "value");
  // Borrowed keys now read "xxx", but the decoded string was copied.
  EXPECT_EQ(borrowed->members()[1].key, "xxx");
  EXPECT_EQ(borrowed->members()[1].value.as_string(), "a\nb");
}

TEST(JsonTree, EqualityDistinguishesNumberKinds) {
  Arena arena;
  auto one = parse("[1]", arena).value();
  EXPECT_EQ(one, parse(" [ 1 ] ", arena).value());
  EXPECT_FALSE(one == parse("[1.0]", arena).value());
  EXPECT_FALSE(parse("0.0", arena).value() == parse("-0.0", arena).value());
  EXPECT_FALSE(parse(R"({"a":1,"b":2})", arena).value() == parse(R"({"b":2,"a":1})", arena).value());
}

TEST(JsonTree, ArenaIsReusedAcrossRecords) {
  Arena arena;
  std::string record = R"({"subject":"A:1","names":["x","y","z"],"score":0.5,"nested":{"deep":[1,2,3]}})";
  ASSERT_TRUE(parse(record, arena));
  arena.reset();
  size_t capacity = arena.capacity();
  for (int i = 0; i < 10000; ++i) {
    arena.reset();
    auto v = parse(record, arena);
    ASSERT_TRUE(v);
    ASSERT_EQ(v->members().size(), 4u);
  }
  EXPECT_EQ(arena.capacity(), capacity);

  // Objects larger than one block still come out whole.
  std::string big(100000, 'q');
  auto v = parse("[\"" + big + "\"]", arena);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->items()[0].as_string(), big);
}

}  // namespace
}  // namespace corv::json
