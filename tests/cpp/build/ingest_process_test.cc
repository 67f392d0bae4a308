#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fullmap/build/curie_run.h"
#include "fullmap/build/equiv_index.h"
#include "fullmap/build/process_synonyms.h"
#include "fullmap/build/term_run.h"
#include "fullmap/store/record_encoding.h"
#include "ingest_test_util.h"

namespace corv::fullmap {
namespace {

namespace fs = std::filesystem;
using testing::ProgressCall;
using testing::RecordingProgress;
using testing::write_file;

using Postings = std::vector<std::pair<uint32_t, uint8_t>>;

class ProcessSynonyms : public ::testing::Test {
 protected:
  void SetUp() override {
    spill_ = dir_ / "spill";
    fs::create_directories(spill_);
    held_ = testing::hold(spill_);
  }

  void use_classes(std::string_view lines) {
    auto path = write_file(dir_ / "classes.ndjson", lines);
    std::vector<fs::path> classes{path};
    auto built = EquivIndex::build(classes, held_, kDefaultEquivSpillEntries, nullptr);
    ASSERT_TRUE(built) << built.error().message;
    equiv_ = std::make_unique<EquivIndex>(std::move(*built));
  }

  Result<SynonymOutput> run(const std::vector<fs::path>& files, size_t threads = 1, size_t producers = 1,
                            size_t chunk_bytes = 1 << 20) {
    if (!equiv_) {
      auto built = EquivIndex::build({}, held_, kDefaultEquivSpillEntries, nullptr);
      EXPECT_TRUE(built);
      equiv_ = std::make_unique<EquivIndex>(std::move(*built));
    }
    return process_synonyms(files, *equiv_,
                            {.spill = &held_,
                             .local_spill_entries = local_spill_entries_,
                             .curie_spill_entries = curie_spill_entries_,
                             .exclude_prefixes = exclude_,
                             .threads = threads,
                             .shard_count = 16,
                             .chunk_bytes = chunk_bytes,
                             .producers = producers,
                             .progress = progress_});
  }

  // Every stored row by CURIE id, read back from the CURIE-row runs.
  std::map<uint32_t, CurieRow> read_rows(const SynonymOutput& out) const {
    std::map<uint32_t, CurieRow> rows;
    for (const auto& name : out.curie_runs) {
      auto reader = CurieRunReader::open(held_, name);
      EXPECT_TRUE(reader);
      while (true) {
        auto next = reader->next_row();
        EXPECT_TRUE(next);
        if (!*next) break;
        auto row = decode_curie_row((*next)->row);
        EXPECT_TRUE(row);
        EXPECT_TRUE(rows.emplace((*next)->curie_id, *row).second) << "CURIE id stored twice";
      }
    }
    return rows;
  }

  // Every term with the sorted union of its postings over all runs.
  std::map<std::string, Postings> read_terms(const SynonymOutput& out) const {
    std::map<std::string, Postings> terms;
    EXPECT_EQ(out.term_runs.size(), 16u);
    for (size_t shard = 0; shard < out.term_runs.size(); ++shard) {
      for (const auto& name : out.term_runs[shard]) {
        EXPECT_TRUE(name.starts_with("run_s" + std::to_string(shard) + "_")) << name;
        auto reader = RunReader::open(held_, name);
        EXPECT_TRUE(reader);
        while (true) {
          auto more = reader->read_frame();
          EXPECT_TRUE(more);
          if (!*more) break;
          auto& list = terms[reader->frame.term];
          for (const Posting& p : reader->frame.postings) list.emplace_back(p.curie_id, p.source_id);
        }
      }
    }
    for (auto& [term, list] : terms) {
      std::sort(list.begin(), list.end());
      list.erase(std::unique(list.begin(), list.end()), list.end());
    }
    return terms;
  }

  corv::testing::ScratchDir dir_;
  fs::path spill_;
  HeldDirectory held_;
  std::unique_ptr<EquivIndex> equiv_;
  size_t local_spill_entries_ = 1000000;
  size_t curie_spill_entries_ = 250000;
  absl::flat_hash_set<std::string> exclude_;
  std::shared_ptr<RecordingProgress> progress_ = std::make_shared<RecordingProgress>();
};

TEST_F(ProcessSynonyms, OneWorkerAssignsIdsInFileAndLineOrder) {
  use_classes(R"({"id":"HGNC:1100","equivalent_identifiers":["HGNC:1100","NCBIGene:672"]})"
              "\n");
  auto first =
      write_file(dir_ / "first.ndjson", R"({"id":"HGNC:1100","name":"BRCA1","names":["BRCA1","Breast cancer 1"],)"
                                        R"("types":["biolink:Gene"],"taxa":["NCBITaxon:9606"]})"
                                        "\n"
                                        R"({"curie":"MONDO:7","types":["biolink:Disease"]})"
                                        "\n");
  auto second =
      write_file(dir_ / "second.ndjson.gz", testing::gzip(R"({"curie":"CHEBI:1","names":["aspirin"]})"
                                                          "\n"
                                                          R"({"curie":"HGNC:1100","name":"other","names":["FANCS"],)"
                                                          R"("types":["biolink:Protein"]})"
                                                          "\n"));
  auto out = run({first, second});
  ASSERT_TRUE(out) << out.error().message;

  EXPECT_EQ(out->prefix_ids, (absl::flat_hash_map<std::string, uint16_t>{{"HGNC", 0}, {"MONDO", 1}, {"CHEBI", 2}}));
  EXPECT_EQ(out->category_ids, (absl::flat_hash_map<std::string, uint16_t>{
                                   {"Gene", 0}, {"Disease", 1}, {"NamedThing", 2}, {"Protein", 3}}));
  EXPECT_EQ(out->source_ids, (absl::flat_hash_map<std::string, uint8_t>{{"first", 0}, {"second", 1}}));

  auto rows = read_rows(*out);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], (CurieRow{0, "1100", "BRCA1", 0, 9606})) << "the first row of a CURIE is kept";
  EXPECT_EQ(rows[1], (CurieRow{1, "7", "MONDO:7", 1, 0}));
  EXPECT_EQ(rows[2], (CurieRow{2, "1", "CHEBI:1", 2, 0}));

  auto terms = read_terms(*out);
  const std::map<std::string, Postings> expected{
      {"brca1", {{0, 0}}},
      {"breast cancer 1", {{0, 0}}},
      {"breastcancer1", {{0, 0}}},
      {"hgnc:1100", {{0, 0}, {0, 1}}},
      {"hgnc1100", {{0, 0}, {0, 1}}},
      {"ncbigene:672", {{0, 0}, {0, 1}}},
      {"ncbigene672", {{0, 0}, {0, 1}}},
      {"mondo:7", {{1, 0}}},
      {"mondo7", {{1, 0}}},
      {"aspirin", {{2, 1}}},
      {"chebi:1", {{2, 1}}},
      {"chebi1", {{2, 1}}},
      {"fancs", {{0, 1}}},
  };
  EXPECT_EQ(terms, expected);
}

TEST_F(ProcessSynonyms, SkipRulesCategoriesTaxaAndPreferredNames) {
  exclude_ = {"HGNC"};
  auto file = write_file(dir_ / "rows.ndjson",
                         "{}\n"
                         R"({"names":["orphan"]})"
                         "\n"
                         R"({"curie":null,"names":["orphan"]})"
                         "\n"
                         R"({"curie":"HGNC"})"
                         "\n"
                         R"({"curie":":1100"})"
                         "\n"
                         R"({"curie":"NOLOCAL:"})"
                         "\n"
                         R"({"curie":"HGNC:1","names":["excluded"]})"
                         "\n"
                         R"({"curie":"hgnc:1","types":["biolink:biolink:Gene"],"taxa":["NCBITaxon:+9606"]})"
                         "\n"
                         R"({"curie":"A::1","types":["biolink:"],"taxa":["-5"],"name":""})"
                         "\n"
                         R"({"curie":"B:2","types":[""],"taxa":["NCBITaxon: 9606"],"name":"  'Tumour protein p53'  "})"
                         "\n"
                         R"({"curie":"C:3","taxa":["NCBITaxon:2147483648","1"]})"
                         "\n"
                         R"({"curie":"D:4","taxa":["9606","x"]})"
                         "\n"
                         R"({"curie":"E:5","taxa":["x","9606"]})"
                         "\n"
                         R"({"curie":"F:6","taxa":["NCBITaxon:NCBITaxon:-2147483648"]})"
                         "\n"
                         R"({"curie":"INCHIKEY:ABC","names":["Some compound"]})"
                         "\n");
  auto out = run({file});
  ASSERT_TRUE(out) << out.error().message;

  // Skipped rows intern nothing: ids stay dense over the rows that count.
  EXPECT_EQ(out->prefix_ids,
            (absl::flat_hash_map<std::string, uint16_t>{
                {"hgnc", 0}, {"A", 1}, {"B", 2}, {"C", 3}, {"D", 4}, {"E", 5}, {"F", 6}, {"INCHIKEY", 7}}));
  EXPECT_EQ(out->category_ids, (absl::flat_hash_map<std::string, uint16_t>{{"Gene", 0}, {"", 1}, {"NamedThing", 2}}));

  auto rows = read_rows(*out);
  ASSERT_EQ(rows.size(), 8u);
  EXPECT_EQ(rows[0], (CurieRow{0, "1", "hgnc:1", 0, 9606}));
  EXPECT_EQ(rows[1], (CurieRow{1, ":1", "", 1, -5}));
  EXPECT_EQ(rows[2], (CurieRow{2, "2", "Tumour protein p53", 1, 0}));
  EXPECT_EQ(rows[3].taxon_id, 0) << "out of range";
  EXPECT_EQ(rows[4].taxon_id, 9606) << "only the first taxon counts";
  EXPECT_EQ(rows[5].taxon_id, 0) << "only the first taxon counts";
  EXPECT_EQ(rows[6].taxon_id, INT32_MIN);
  EXPECT_EQ(rows[7], (CurieRow{7, "ABC", "INCHIKEY:ABC", 2, 0}));

  auto terms = read_terms(*out);
  EXPECT_FALSE(terms.contains("orphan"));
  EXPECT_FALSE(terms.contains("excluded"));
  EXPECT_FALSE(terms.contains("inchikey:abc")) << "refused by the term filter";
  EXPECT_EQ(terms["some compound"], (Postings{{7, 0}}));
  EXPECT_FALSE(terms.contains("tumour protein p53")) << "preferred names are not terms";
}

TEST_F(ProcessSynonyms, SpillThresholdsOfOneAndZeroSpillAfterEveryRow) {
  local_spill_entries_ = 1;
  curie_spill_entries_ = 0;
  auto file = write_file(dir_ / "s.ndjson", R"({"curie":"A:1"})"
                                            "\n"
                                            R"({"curie":"A:1"})"
                                            "\n"
                                            R"({"curie":"A:2"})"
                                            "\n"
                                            R"({"curie":"skipped"})"
                                            "\n");
  auto out = run({file});
  ASSERT_TRUE(out) << out.error().message;
  // Three counted rows: three CURIE-row runs, the second one empty.
  ASSERT_EQ(out->curie_runs.size(), 3u);
  EXPECT_EQ(read_rows(*out).size(), 2u);
  size_t term_files = 0;
  for (const auto& shard : out->term_runs) term_files += shard.size();
  EXPECT_GE(term_files, 3u);
  EXPECT_EQ(read_terms(*out)["a:1"], (Postings{{0, 0}}));
}

TEST_F(ProcessSynonyms, EveryLineItsOwnChunkWithAProgressReportEach) {
  auto file = write_file(dir_ / "p.ndjson", R"({"curie":"A:1"})"
                                            "\n\n"
                                            R"(["B:2"])"
                                            "\r\n");
  auto out = run({file}, 2, 8, 0);
  ASSERT_TRUE(out) << out.error().message;
  EXPECT_EQ(read_rows(*out).size(), 2u);
  EXPECT_EQ(progress_->calls(), (std::vector<ProgressCall>{{1, 1, 0, "p \xC2\xB7 1 rows"},
                                                           {1, 2, 0, "p \xC2\xB7 2 rows"},
                                                           {1, 2, 0, "p \xC2\xB7 2 rows (1/1 files)"}}));
}

TEST_F(ProcessSynonyms, TwoHundredFiftySixSourcesGetIdsInListOrder) {
  std::vector<fs::path> files;
  fs::create_directories(dir_ / "many");
  for (int i = 0; i < 256; ++i) {
    files.push_back(write_file(dir_ / "many" / ("src" + std::to_string(i) + ".ndjson"),
                               "{\"curie\":\"S:" + std::to_string(i) + "\"}\n"));
  }
  auto out = run(files, 3, 4);
  ASSERT_TRUE(out) << out.error().message;
  ASSERT_EQ(out->source_ids.size(), 256u);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(out->source_ids.at("src" + std::to_string(i)), i);
  auto terms = read_terms(*out);
  EXPECT_EQ(terms["s:255"].at(0).second, 255);
  EXPECT_EQ(read_rows(*out).size(), 256u);
}

TEST_F(ProcessSynonyms, PathsWithOneSourceNameShareItsId) {
  fs::create_directories(dir_ / "a");
  fs::create_directories(dir_ / "b");
  auto plain = write_file(dir_ / "a" / "x.ndjson", R"({"curie":"A:1"})"
                                                   "\n");
  auto other = write_file(dir_ / "y.ndjson", R"({"curie":"B:1"})"
                                             "\n");
  auto packed = write_file(dir_ / "b" / "x.ndjson.gz", testing::gzip(R"({"curie":"C:1"})"
                                                                     "\n"));
  auto out = run({plain, other, packed}, 2, 3);
  ASSERT_TRUE(out) << out.error().message;
  EXPECT_EQ(out->source_ids, (absl::flat_hash_map<std::string, uint8_t>{{"x", 0}, {"y", 1}}));
  auto terms = read_terms(*out);
  ASSERT_EQ(terms["c:1"].size(), 1u);
  EXPECT_EQ(terms["c:1"][0].second, 0);
  EXPECT_EQ(terms["b:1"][0].second, 1);
}

TEST_F(ProcessSynonyms, A257thSourceFailsBeforeAnythingStarts) {
  std::vector<fs::path> files;
  for (int i = 0; i < 256; ++i) files.push_back(dir_ / ("absent" + std::to_string(i) + ".ndjson"));
  files.push_back(dir_ / "absent0.ndjson");  // a known name still comes too late
  auto out = run(files, 2, 2);
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().message, "too many fullmap sources");
  EXPECT_TRUE(progress_->calls().empty());
}

TEST_F(ProcessSynonyms, WorkersStoppingOnBadLinesCloseTheChannelForProducers) {
  std::string junk;
  for (int i = 0; i < 400; ++i) junk += "junk " + std::to_string(i) + "\n";
  std::vector<fs::path> files;
  for (int f = 0; f < 3; ++f) files.push_back(write_file(dir_ / ("bad" + std::to_string(f) + ".ndjson"), junk));
  auto out = run(files, 4, 3, 0);
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().message, "expected value at line 1 column 1");
  // The producers gave up on the closed channel instead of reading on.
  for (const auto& call : progress_->calls()) EXPECT_LT(call.done, 3u * 400u);
}

TEST_F(ProcessSynonyms, AProducerFailureIsReportedAfterTheWorkersFinish) {
  auto good = write_file(dir_ / "good.ndjson", R"({"curie":"A:1"})"
                                               "\n");
  auto out = run({good, dir_ / "missing.ndjson"}, 2, 2);
  ASSERT_FALSE(out);
  EXPECT_NE(out.error().message.find("(os error 2)"), std::string::npos) << out.error().message;
}

TEST_F(ProcessSynonyms, RunningOutOfPrefixIdsIsAWorkerPanic) {
  std::string lines;
  for (int i = 0; i <= 65536; ++i) lines += "{\"curie\":\"P" + std::to_string(i) + ":1\"}\n";
  auto file = write_file(dir_ / "prefixes.ndjson", lines);
  local_spill_entries_ = 50000;
  for (size_t threads : {1, 3}) {
    auto out = run({file}, threads, 1, 4096);
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().type, ErrorType::kRuntime);
    EXPECT_EQ(out.error().message, "fullmap build worker panicked");
  }
}

TEST_F(ProcessSynonyms, ExactlyTheLastPrefixIdStillFits) {
  std::string lines;
  for (int i = 0; i < 65536; ++i) lines += "{\"curie\":\"P" + std::to_string(i) + ":1\"}\n";
  auto file = write_file(dir_ / "prefixes.ndjson", lines);
  auto out = run({file}, 1, 1, 4096);
  ASSERT_TRUE(out) << out.error().message;
  EXPECT_EQ(out->prefix_ids.size(), 65536u);
  EXPECT_EQ(out->prefix_ids.at("P65535"), 65535);
}

}  // namespace
}  // namespace corv::fullmap
