#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fullmap/build/synonym_row.h"

namespace corv::fullmap {
namespace {

SynonymRow decode_ok(std::string_view line) {
  SynonymRow row;
  Status s = decode_synonym_row(line, row);
  EXPECT_TRUE(s) << line << ": " << (s ? "" : s.error().message);
  return row;
}

std::string decode_error(std::string_view line) {
  SynonymRow row;
  Status s = decode_synonym_row(line, row);
  if (s) return "<decoded>";
  return s.error().message;
}

std::vector<std::string> list(const StringList& l) { return {l.begin(), l.end()}; }

TEST(SynonymRow, KeysAndAliasesFillTheSameFields) {
  SynonymRow a = decode_ok(R"({"curie":"HGNC:1100","names":["BRCA1","Breast cancer 1"],"types":["biolink:Gene"],)"
                           R"("taxa":["NCBITaxon:9606"],"preferred_name":"BRCA1"})");
  SynonymRow b = decode_ok(R"({"id":"HGNC:1100","names":["BRCA1","Breast cancer 1"],"categories":["biolink:Gene"],)"
                           R"("taxon":["NCBITaxon:9606"],"name":"BRCA1"})");
  for (const SynonymRow* row : {&a, &b}) {
    EXPECT_TRUE(row->has_curie);
    EXPECT_EQ(row->curie, "HGNC:1100");
    EXPECT_EQ(list(row->names), (std::vector<std::string>{"BRCA1", "Breast cancer 1"}));
    EXPECT_EQ(list(row->types), (std::vector<std::string>{"biolink:Gene"}));
    EXPECT_EQ(list(row->taxa), (std::vector<std::string>{"NCBITaxon:9606"}));
    EXPECT_TRUE(row->has_preferred_name);
    EXPECT_EQ(row->preferred_name, "BRCA1");
  }
}

TEST(SynonymRow, AbsentNullAndIgnoredMembers) {
  SynonymRow row = decode_ok(R"( {"curie":null,"name":null,"Names":5,"x":{"y":[1,{"z":null}]}} )");
  EXPECT_FALSE(row.has_curie);
  EXPECT_FALSE(row.has_preferred_name);
  EXPECT_TRUE(row.names.empty());

  row = decode_ok(R"({"preferred_name":"","curie":"a\u003ab\n"})");
  EXPECT_TRUE(row.has_preferred_name);
  EXPECT_EQ(row.preferred_name, "");
  EXPECT_EQ(row.curie, "a:b\n");
}

TEST(SynonymRow, DecodingIntoAUsedRowReplacesEverything) {
  SynonymRow row;
  ASSERT_TRUE(decode_synonym_row(R"({"id":"A:1","names":["x","y"],"taxa":["1"],"name":"n"})", row));
  ASSERT_TRUE(decode_synonym_row(R"({"names":["z"]})", row));
  EXPECT_FALSE(row.has_curie);
  EXPECT_FALSE(row.has_preferred_name);
  EXPECT_EQ(list(row.names), (std::vector<std::string>{"z"}));
  EXPECT_TRUE(row.taxa.empty());
}

TEST(SynonymRow, ArraysAreReadByPosition) {
  SynonymRow row = decode_ok(R"(["A:1",["n"]])");
  EXPECT_EQ(row.curie, "A:1");
  EXPECT_EQ(list(row.names), (std::vector<std::string>{"n"}));
  EXPECT_FALSE(row.has_preferred_name);

  row = decode_ok(R"([null,[],["T"],["9"],"P"])");
  EXPECT_FALSE(row.has_curie);
  EXPECT_EQ(list(row.types), (std::vector<std::string>{"T"}));
  EXPECT_EQ(row.preferred_name, "P");

  decode_ok("[]");
  EXPECT_EQ(decode_error(R"(["A:1",[],[],[],null,"extra"])"), "trailing characters at line 1 column 22");
  EXPECT_EQ(decode_error(R"(["A:1",[],[],[],null,])"), "trailing comma at line 1 column 22");
}

TEST(SynonymRow, RepeatedFieldsNameTheMainKey) {
  EXPECT_EQ(decode_error(R"({"curie":"A:1","id":"B:2"})"), "duplicate field `curie` at line 1 column 19");
  EXPECT_EQ(decode_error(R"({"id":"A:1","id":null})"), "duplicate field `curie` at line 1 column 16");
  EXPECT_EQ(decode_error(R"({"names":[],"names" : ["x"]})"), "duplicate field `names` at line 1 column 20");
  EXPECT_EQ(decode_error(R"({"taxa":[],"taxon":[]})"), "duplicate field `taxa` at line 1 column 18");
  EXPECT_EQ(decode_error(R"({"name":"a","preferred_name":"b"})"),
            "duplicate field `preferred_name` at line 1 column 28");
  // Ignored keys may repeat.
  decode_ok(R"({"other":1,"other":2})");
}

TEST(SynonymRow, WrongTypesAndNonObjects) {
  EXPECT_EQ(decode_error("x"), "expected value at line 1 column 1");
  EXPECT_EQ(decode_error("5"), "invalid type: integer `5`, expected struct SynonymRow at line 1 column 1");
  EXPECT_EQ(decode_error(R"("A:1")"), "invalid type: string \"A:1\", expected struct SynonymRow at line 1 column 5");
  EXPECT_EQ(decode_error("null"), "invalid type: null, expected struct SynonymRow at line 1 column 4");
  EXPECT_EQ(decode_error(R"({"names":null})"), "invalid type: null, expected a sequence at line 1 column 13");
  EXPECT_EQ(decode_error(R"({"taxon":"9606"})"),
            "invalid type: string \"9606\", expected a sequence at line 1 column 15");
  EXPECT_EQ(decode_error(R"({"names":["a",1]})"), "invalid type: integer `1`, expected a string at line 1 column 15");
  EXPECT_EQ(decode_error(R"({"curie":true})"), "invalid type: boolean `true`, expected a string at line 1 column 13");
  EXPECT_EQ(decode_error(R"({"curie":"A:1"} x)"), "trailing characters at line 1 column 17");
  EXPECT_EQ(decode_error(R"({"curie":"A:1"}{})"), "trailing characters at line 1 column 16");
}

}  // namespace
}  // namespace corv::fullmap
