#include "records/uuid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "json/value.h"
#include "records/canonical_json.h"

namespace corv::records {
namespace {

using Parts = std::vector<std::string>;

std::optional<std::string> object_uuid(std::string_view domain, std::string_view text) {
  json::Arena arena;
  return uuid_for_json_object(domain, json::parse(text, arena).value());
}

TEST(NameUuid, KnownValues) {
  EXPECT_EQ(uuid_from_parts("abc", Parts{"ab", "c"}), "6b9f658e-7fea-31fe-b2ab-47994462ea49");
  EXPECT_EQ(uuid_from_parts("abc", Parts{}), "1ccff59d-37d2-39df-8ffd-10d2e92669dd");
}

TEST(NameUuid, PartsAreLengthPrefixed) {
  NameUuid namer("d");
  EXPECT_EQ(uuid_from_parts("d", Parts{"ab", "c"}), namer.of_name("2:ab1:c"));
  EXPECT_EQ(uuid_from_parts("d", Parts{"", "x"}), namer.of_name("0:1:x"));
  EXPECT_EQ(uuid_from_parts("d", Parts{"\xC3\xA9"}), namer.of_name("2:\xC3\xA9"));
  EXPECT_NE(uuid_from_parts("d", Parts{"a", "bc"}), uuid_from_parts("d", Parts{"ab", "c"}));
  EXPECT_NE(uuid_from_parts("d", Parts{"x"}), uuid_from_parts("e", Parts{"x"}));
  std::string u = uuid_from_parts("x", Parts{});
  ASSERT_EQ(u.size(), 36u);
  EXPECT_EQ(u[14], '3');
  EXPECT_TRUE(u[19] == '8' || u[19] == '9' || u[19] == 'a' || u[19] == 'b');
}

TEST(ObjectUuid, SortsKeysAndSkipsEmptyMembers) {
  auto expected = uuid_from_parts("d", Parts{"a", "1", "b", "x"});
  EXPECT_EQ(object_uuid("d", R"({"b": "x", "a": 1})"), expected);
  EXPECT_EQ(object_uuid("d", R"({"a": 1, "b": "x"})"), expected);
  EXPECT_EQ(object_uuid("d", R"({"a": 1, "n": null, "f": false, "e": "", "b": "x"})"), expected);
  EXPECT_EQ(object_uuid("d", "{}"), uuid_from_parts("d", Parts{}));
  EXPECT_EQ(object_uuid("d", "[1]"), std::nullopt);
  EXPECT_EQ(object_uuid("d", "null"), std::nullopt);
}

TEST(ObjectUuid, MemberTexts) {
  EXPECT_EQ(object_uuid("d", R"({"t":true,"n":-3,"f":2.5,"g":1e16,"s":"a\"b"})"),
            uuid_from_parts("d", Parts{"f", "2.5", "g", "1e+16", "n", "-3", "s", "a\"b", "t", "true"}));
  EXPECT_EQ(object_uuid("d", R"({"a":[1,"a"],"o":{"z":null,"y":[]},"e":[],"m":{}})"),
            uuid_from_parts("d", Parts{"a", "[1,\"a\"]", "e", "[]", "m", "{}", "o", "{\"z\":null,\"y\":[]}"}));
  EXPECT_NE(object_uuid("d", R"({"a":1})"), object_uuid("d", R"({"a":1.0})"));
  EXPECT_NE(object_uuid("d", R"({"a":"1"})"), object_uuid("d", R"({"a":true})"));
}

TEST(ObjectUuid, KeysCompareAsBytes) {
  // 'Z' < 'a' < 'ab' < 0xC3 (e acute): byte order, shorter prefix first.
  EXPECT_EQ(object_uuid("d", "{\"\xC3\xA9\":\"4\",\"ab\":\"3\",\"a\":\"2\",\"Z\":\"1\"}"),
            uuid_from_parts("d", Parts{"Z", "1", "a", "2", "ab", "3", "\xC3\xA9", "4"}));
  // Enough members for the non-insertion sort path.
  std::string text = "{";
  Parts parts;
  std::vector<std::string> keys;
  for (int i = 59; i >= 0; --i) {
    std::string k = "k";
    k += std::to_string(i);
    text += '"';
    text += k;
    text += "\":";
    text += std::to_string(i);
    text += i ? ',' : '}';
    keys.push_back(k);
  }
  std::sort(keys.begin(), keys.end());
  for (const std::string& k : keys) {
    parts.push_back(k);
    parts.push_back(k.substr(1));
  }
  EXPECT_EQ(object_uuid("d", text), uuid_from_parts("d", parts));
}

// Empty keys and strings copied into the arena may have no storage of their
// own; naming and writing them must still never hand memcpy a null pointer
// (undefined behaviour that only the sanitizer builds report).
TEST(ObjectUuid, EmptyKeysAndStringsOfACopiedTreeAreNamedAndWritten) {
  json::Arena arena;
  auto value = json::parse(R"({"":"x","a":"","b":[""],"c":{"":""}})", arena);
  ASSERT_TRUE(value) << value.error().message;
  EXPECT_EQ(stable_json_bytes(*value), R"({"":"x","a":"","b":[""],"c":{"":""}})");

  auto uuid = uuid_for_json_object("CORVANTILE", *value);
  ASSERT_TRUE(uuid.has_value());
  // The empty string member is left out; the empty key is a part of its own.
  const std::vector<std::string> parts{"", "x", "b", "[\"\"]", "c", "{\"\":\"\"}"};
  EXPECT_EQ(*uuid, uuid_from_parts("CORVANTILE", parts));
}

}  // namespace
}  // namespace corv::records
