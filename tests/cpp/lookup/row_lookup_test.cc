#include "fullmap/lookup/row_lookup.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fullmap/lookup/tables.h"
#include "fullmap/store/db_cache.h"
#include "lookup_test_util.h"

namespace corv::fullmap {
namespace {

using corv::testing::ScratchDir;
using testing::FullmapContent;
using testing::write_fullmap;

FullmapContent sample() {
  FullmapContent c;
  c.shards = 4;
  c.prefixes = {{0, "MESH"}, {1, "NCBIGene"}};
  c.categories = {{0, "biolink:Disease"}, {1, "biolink:Gene"}};
  c.sources = {{0, "mesh"}, {1, "ncbi_gene"}};
  c.curies[0] = CurieRow{0, "D000001", "Calcimycin", 0, 0};
  c.curies[1] = CurieRow{1, "672", "BRCA1", 1, 9606};
  c.curies[2] = CurieRow{1, "x:y:z", "colons", 1, -1};
  c.terms["calcimycin"] = {{0, 0}};
  c.terms["brca1"] = {{1, 0}, {1, 1}, {2, 1}};
  c.terms["orphan"] = {};
  return c;
}

// A record with owned texts, to compare against.
struct Record {
  std::string curie, name, category;
  int64_t taxon;
  std::string source, version;
  friend bool operator==(const Record&, const Record&) = default;
};
struct Entry {
  std::string term;
  std::vector<Record> records;
  friend bool operator==(const Entry&, const Entry&) = default;
};

Record record(std::string curie, std::string name, std::string category, int64_t taxon, std::string source) {
  return {std::move(curie), std::move(name), std::move(category), taxon, std::move(source), "2026jul22"};
}

std::vector<Entry> owned(const RowsResult& rows) {
  std::vector<Entry> out;
  for (const RowEntry& e : rows.entries) {
    Entry& entry = out.emplace_back(Entry{e.term, {}});
    for (const FullmapRecord& r : e.records) {
      entry.records.push_back(Record{std::string(r.curie), std::string(r.preferred_name), std::string(r.category_name),
                                     r.taxon_id, std::string(r.source_name), std::string(r.source_version)});
    }
  }
  return out;
}

TEST(RowLookup, HydratesEveryPostingInInputOrder) {
  ScratchDir dir;
  const auto db = dir / "map.redb";
  write_fullmap(db, sample());
  const std::vector<Entry> want = {
      {"brca1",
       {record("NCBIGene:672", "BRCA1", "biolink:Gene", 9606, "mesh"),
        record("NCBIGene:672", "BRCA1", "biolink:Gene", 9606, "ncbi_gene"),
        record("NCBIGene:x:y:z", "colons", "biolink:Gene", -1, "ncbi_gene")}},
      {"calcimycin", {record("MESH:D000001", "Calcimycin", "biolink:Disease", 0, "mesh")}},
      {"orphan", {}},
      {"brca1",
       {record("NCBIGene:672", "BRCA1", "biolink:Gene", 9606, "mesh"),
        record("NCBIGene:672", "BRCA1", "biolink:Gene", 9606, "ncbi_gene"),
        record("NCBIGene:x:y:z", "colons", "biolink:Gene", -1, "ncbi_gene")}},
  };
  for (std::optional<size_t> threads : {std::optional<size_t>(), std::optional<size_t>(1), std::optional<size_t>(4)}) {
    auto got = lookup_terms(db, {"brca1", "BRCA1", "calcimycin", "missing", "orphan", "brca1"}, threads);
    ASSERT_TRUE(got) << got.error().message;
    EXPECT_EQ(owned(*got), want);
    EXPECT_EQ(got->records.size(), 7u);
  }
}

TEST(RowLookup, MissingIdsFailTheWholeCall) {
  struct Case {
    const char* name;
    void (*damage)(FullmapContent&);
    std::string message;
  };
  const std::vector<Case> cases = {
      {"curie rows, smallest first",
       [](FullmapContent& c) {
         c.curies.erase(1);
         c.curies.erase(2);
       },
       "missing fullmap CURIE id 1"},
      {"prefix", [](FullmapContent& c) { c.prefixes.erase(1); }, "missing prefix id 1"},
      {"category", [](FullmapContent& c) { c.categories.erase(1); }, "missing category id 1"},
      {"source", [](FullmapContent& c) { c.sources.erase(1); }, "missing source id 1"},
  };
  for (const Case& k : cases) {
    ScratchDir dir;
    const auto db = dir / "map.redb";
    FullmapContent c = sample();
    k.damage(c);
    write_fullmap(db, c);
    auto got = lookup_terms(db, {"calcimycin", "brca1"}, std::nullopt);
    ASSERT_FALSE(got) << k.name;
    EXPECT_EQ(got.error().message, k.message) << k.name;
    // Terms that do not reach the damaged ids still work.
    EXPECT_TRUE(lookup_terms(db, {"calcimycin"}, std::nullopt)) << k.name;
  }
}

// Rows are resolved in CURIE order; the error must still be the first
// missing id in entry and posting order.
TEST(RowLookup, FirstMissingIdFollowsPostingOrder) {
  ScratchDir dir;
  const auto db = dir / "map.redb";
  FullmapContent c = sample();
  c.curies[0].category_id = 9;  // "calcimycin"
  c.curies[2].prefix_id = 8;    // third posting of "brca1"
  write_fullmap(db, c);
  auto got = lookup_terms(db, {"brca1", "calcimycin"}, std::nullopt);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().message, "missing prefix id 8");
  got = lookup_terms(db, {"calcimycin", "brca1"}, std::nullopt);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().message, "missing category id 9");
}

TEST(RowLookup, EmptyQueryStillReadsTheTablesItWouldUse) {
  ScratchDir dir;
  const auto db = dir / "map.redb";
  FullmapContent c = sample();
  write_fullmap(db, c);
  auto ok = lookup_terms(db, {}, std::nullopt);
  ASSERT_TRUE(ok) << ok.error().message;
  EXPECT_TRUE(ok->entries.empty());

  const auto no_curies = dir / "other.redb";
  c.with_curies_table = false;
  write_fullmap(no_curies, c);
  auto got = lookup_terms(no_curies, {}, std::nullopt);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().message, "table \"curies\" does not exist");
}

TEST(TableReaders, ReadWholeTablesAndRowsInRequestOrder) {
  ScratchDir dir;
  const auto db_path = dir / "map.redb";
  FullmapContent c = sample();
  c.prefixes = {{0, "A"}, {2, "C"}, {65535, "Z"}};
  c.sources = {{255, "last"}};
  c.categories.clear();
  c.curies[5] = CurieRow{2, "", "", 0, -7};
  write_fullmap(db_path, c);
  auto db = open_cached(db_path);
  ASSERT_TRUE(db) << db.error().message;

  auto prefixes = load_string_table(**db, kPrefixesTable);
  ASSERT_TRUE(prefixes);
  EXPECT_EQ(*prefixes, (StringTable{{0, "A"}, {2, "C"}, {65535, "Z"}}));
  auto categories = load_string_table(**db, kCategoriesTable);
  ASSERT_TRUE(categories);
  EXPECT_TRUE(categories->empty());
  auto sources = load_sources(**db);
  ASSERT_TRUE(sources);
  EXPECT_EQ(*sources, (SourceTable{{255, "last"}}));

  const std::vector<uint32_t> ids = {5, 1, 5};
  auto rows = hydrate_curie_rows(**db, ids);
  ASSERT_TRUE(rows) << rows.error().message;
  EXPECT_EQ(*rows, (std::vector<CurieRow>{c.curies[5], c.curies[1], c.curies[5]}));
  auto none = hydrate_curie_rows(**db, {});
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  const std::vector<uint32_t> unknown = {1, 4294967295u};
  auto missing = hydrate_curie_rows(**db, unknown);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "missing fullmap CURIE id 4294967295");
}

TEST(TableReaders, NamesByIdFillGapsAndNeverComeOutEmpty) {
  using Names = std::vector<std::string_view>;
  EXPECT_EQ(names_by_id(StringTable{{0, "a"}, {2, "c"}}), (Names{"a", "", "c"}));
  EXPECT_EQ(names_by_id(StringTable{{3, "d"}}), (Names{"", "", "", "d"}));
  EXPECT_EQ(names_by_id(StringTable{}), (Names{""}));
  EXPECT_EQ(names_by_id(SourceTable{}), (Names{""}));
  EXPECT_EQ(names_by_id(SourceTable{{255, "z"}}).size(), 256u);
  EXPECT_EQ(names_by_id(StringTable{{65535, "z"}}).size(), 65536u);
}

}  // namespace
}  // namespace corv::fullmap
