// Inputs found by fuzzing the record utilities. The faults were undefined
// behaviour that only the sanitizer builds report, so these tests matter
// most under make test-asan.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/value.h"
#include "records/canonical_json.h"
#include "records/uuid.h"

namespace corv::records {
namespace {

// An empty key or string copied into the arena used to come back with a
// null data pointer, which the UUID name builder and the JSON writer then
// passed to memcpy.
TEST(RecordsRegression, EmptyKeysAndStringsOfACopiedTree) {
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
