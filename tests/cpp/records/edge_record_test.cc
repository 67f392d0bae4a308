#include "records/edge_record.h"

#include <gtest/gtest.h>

#include <string>

#include "records/canonical_json.h"
#include "records/ndjson_dedup.h"

namespace corv::records {
namespace {

// The one-pass edge writer must give the bytes of the step-by-step path:
// strip, add "id", serialise.
TEST(EdgeRecord, MatchesFinalizeThenSerialise) {
  NameUuid namer("edge domain");
  const char* records[] = {
      R"({"a":1})",
      R"({"id":"x","a":1})",
      R"({"b":2,"id":null,"a":1})",
      R"({"s":"t\"ab\u0001","n":-3,"f":0.5,"t":true,"no":false,"e":"","z":null})",
      R"({"arr":[1,"a",{"k":null}],"obj":{"x":[],"y":{"w":" NA "}},"id":7})",
      R"({"\u00e9":1,"Z":2,"a":3,"ab":4,"":5})",
      R"({"nested":[[{"c":null}]],"num":1e300,"neg0":-0})",
  };
  for (const char* text : records) {
    json::Arena arena;
    json::Value value = json::parse(text, arena).value();
    auto finalized = finalize_record(value, true, namer, arena);
    ASSERT_TRUE(finalized && *finalized) << text;
    std::string expected;
    append_compact_json(**finalized, expected);

    std::string actual = "prefix";
    append_edge_record(strip_nulls(value, arena), namer, actual);
    EXPECT_EQ(actual, "prefix" + expected) << text;
  }
}

TEST(EdgeRecord, FinalizeRefusesNonObjectsAndSkipsEmptyOnes) {
  NameUuid namer(kDefaultDomain);
  json::Arena arena;
  for (const char* text : {"null", "[1]", "\"s\"", "3"}) {
    auto r = finalize_record(json::parse(text, arena).value(), true, namer, arena);
    ASSERT_FALSE(r) << text;
    EXPECT_EQ(r.error().message, "expected JSON object");
    auto plain = finalize_record(json::parse(text, arena).value(), false, namer, arena);
    ASSERT_TRUE(plain && *plain) << text;
  }
  for (bool edges : {false, true}) {
    auto r = finalize_record(json::parse(R"({"a":null,"b":[]})", arena).value(), edges, namer, arena);
    ASSERT_TRUE(r);
    EXPECT_FALSE(*r);
  }
}

}  // namespace
}  // namespace corv::records
