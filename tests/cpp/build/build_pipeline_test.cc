#include "fullmap/build/build_pipeline.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fullmap/store/layout.h"
#include "fullmap/store/record_encoding.h"
#include "ingest_test_util.h"
#include "store_dump.h"

namespace corv::fullmap {
namespace {

using testing::dump_meta;
using testing::dump_table;
using testing::dump_terms;
using testing::RecordingProgress;
using testing::write_file;
using Paths = std::vector<std::filesystem::path>;
// term -> {(CURIE, source name)}: comparable across builds, whose ids depend
// on thread timing.
using ResolvedTerms = std::map<std::string, std::set<std::pair<std::string, std::string>>>;

ResolvedTerms resolve(const std::filesystem::path& output) {
  const auto prefixes = dump_table(output, kPrefixesTable);
  std::map<uint8_t, std::string> sources;
  for (const auto& [id, row] : dump_table(output, kSourcesTable)) sources[id] = *decode_source_row(row);
  std::map<uint32_t, std::string> curies;
  for (const auto& [id, bytes] : dump_table(output, kCuriesTable)) {
    auto row = decode_curie_row(bytes);
    EXPECT_TRUE(row);
    curies[id] = prefixes.at(row->prefix_id) + ":" + row->local_id;
  }
  ResolvedTerms out;
  for (uint64_t i = 0; i < kBuildShardCount; ++i) {
    for (const auto& [term, postings] : dump_terms(shard_path(output, i))) {
      for (const auto& p : postings) out[term].emplace(curies.at(p.curie_id), sources.at(p.source_id));
    }
  }
  return out;
}

class BuildPipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    classes_ = {write_file(dir_ / "classes.jsonl",
                           R"({"id":"CHEBI:15365","equivalent_identifiers":["CHEBI:15365","DRUGBANK:DB00945"]})"
                           "\n")};
    std::string plain, packed;
    for (int i = 0; i < 30; ++i) {
      plain += R"({"curie":"CHEBI:)" + std::to_string(15365 + i) + R"(","names":["compound )" + std::to_string(i) +
               R"(","Shared Term"],"types":["biolink:SmallMolecule"]})"
               "\n";
      packed += R"({"curie":"MONDO:)" + std::to_string(5000 + i) + R"(","names":["disease )" + std::to_string(i) +
                R"(","shared term"],"types":["biolink:Disease"],"taxa":["NCBITaxon:9606"]})"
                "\n";
    }
    synonyms_ = {write_file(dir_ / "chemicals.ndjson", plain),
                 write_file(dir_ / "diseases.ndjson.gz", testing::gzip(packed))};
  }

  BuildSettings settings(const std::filesystem::path& output) const {
    BuildSettings s;
    s.producers = 2;
    s.write_budget_bytes = 64 << 20;
    s.spill_dir = default_spill_dir(output);
    return s;
  }

  Status build(const std::filesystem::path& output, size_t threads, BuildSettings s,
               ProgressHandle progress = nullptr) const {
    auto spill = SpillDirClaim::acquire(s.spill_dir, {}, {}, {});
    if (!spill) return std::unexpected(std::move(spill.error()));
    auto dir = HeldDirectory::open(output.parent_path());
    if (!dir) return std::unexpected(std::move(dir.error()));
    return build_fullmap_inner(*dir, output, classes_, synonyms_, threads, kBuildShardCount, std::move(progress),
                               std::move(s), *spill);
  }

  corv::testing::ScratchDir dir_;
  Paths classes_;
  Paths synonyms_;
};

TEST_F(BuildPipeline, TinySpillsAndBatchesGiveTheSameFullmapAsDefaults) {
  const auto roomy = dir_ / "roomy" / "fm.redb";
  const auto tiny = dir_ / "tiny" / "fm.redb";
  std::filesystem::create_directories(roomy.parent_path());
  std::filesystem::create_directories(tiny.parent_path());
  ASSERT_TRUE(build(roomy, 1, settings(roomy)));

  BuildSettings small = settings(tiny);
  small.local_spill_entries = 2;
  small.curie_spill_entries = 1;
  small.insert_batch = 1;
  small.chunk_bytes = 64;
  // A leftover of an earlier build in the spill directory must not leak in.
  std::filesystem::create_directories(small.spill_dir);
  write_file(small.spill_dir / "run_s0_99999999.bin", "junk");
  auto progress = std::make_shared<RecordingProgress>();
  auto status = build(tiny, 3, small, progress);
  ASSERT_TRUE(status) << status.error().message;

  const ResolvedTerms terms = resolve(tiny);
  EXPECT_EQ(terms, resolve(roomy));
  // "Shared Term" normalises onto "shared term": 60 CURIEs, two sources,
  // postings merged from many runs.
  ASSERT_EQ(terms.count("shared term"), 1u);
  EXPECT_EQ(terms.at("shared term").size(), 60u);
  EXPECT_TRUE(terms.at("shared term").contains({"CHEBI:15365", "chemicals"}));
  EXPECT_TRUE(terms.at("shared term").contains({"MONDO:5029", "diseases"}));
  // Equivalents from the class file became terms of their CURIE.
  EXPECT_EQ(terms.at("drugbank:db00945"),
            (std::set<std::pair<std::string, std::string>>{{"CHEBI:15365", "chemicals"}}));

  EXPECT_FALSE(std::filesystem::exists(small.spill_dir));
  EXPECT_FALSE(std::filesystem::exists(default_spill_dir(roomy)));
  const std::string id = dump_meta(tiny).at("build_id");
  for (uint64_t i = 0; i < kBuildShardCount; ++i) EXPECT_EQ(dump_meta(shard_path(tiny, i)).at("build_id"), id);

  std::set<int32_t> stages;
  for (const auto& call : progress->calls()) stages.insert(call.stage);
  EXPECT_EQ(stages, (std::set<int32_t>{0, 1, 2}));
  const auto last = progress->calls().back();
  EXPECT_EQ(last.stage, 2);
  EXPECT_EQ(last.done, terms.size());
  EXPECT_EQ(last.message, "wrote " + std::to_string(terms.size()) + " records");
}

TEST_F(BuildPipeline, FailuresLeaveTheSpillDirectoryForInspection) {
  const auto output = dir_ / "fm.redb";
  synonyms_.push_back(write_file(dir_ / "broken.ndjson", "{\"curie\": 5}\n"));
  auto failed = build(output, 2, settings(output));
  ASSERT_FALSE(failed);
  EXPECT_TRUE(std::filesystem::exists(default_spill_dir(output)));
  EXPECT_FALSE(std::filesystem::exists(output));

  synonyms_.pop_back();
  // The next build starts from a clean spill directory and removes it.
  ASSERT_TRUE(build(output, 2, settings(output)));
  EXPECT_FALSE(std::filesystem::exists(default_spill_dir(output)));
}

// oneTBB faults tearing down an arena of more than 65,536 slots, whatever
// became of the build: any worker count must end in a status. A missing
// class file ends the build before the ingest starts its (equally many)
// threads.
TEST_F(BuildPipeline, HugeWorkerCountFailsCleanly) {
  auto synonyms = write_file(dir_ / "s.ndjson", "{\"curie\":\"A:1\",\"names\":[\"a\"]}\n");
  const auto output = dir_ / "fm.redb";
  BuildSettings settings;
  settings.spill_dir = default_spill_dir(output);
  auto spill = SpillDirClaim::acquire(settings.spill_dir, {}, {}, {});
  ASSERT_TRUE(spill) << spill.error().message;
  auto held = HeldDirectory::open(dir_.path());
  ASSERT_TRUE(held) << held.error().message;
  Status s = build_fullmap_inner(*held, output, {dir_ / "missing.jsonl"}, {synonyms}, 100000, kBuildShardCount, nullptr,
                                 std::move(settings), *spill);
  ASSERT_FALSE(s);
  EXPECT_NE(s.error().message.find("(os error 2)"), std::string::npos) << s.error().message;
}

}  // namespace
}  // namespace corv::fullmap
