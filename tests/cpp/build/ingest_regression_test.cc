// Inputs found by fuzzing the ingest decoders and by probing the build
// entry with hostile arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fullmap/build/build_pipeline.h"
#include "fullmap/build/build_settings.h"
#include "fullmap/build/chunk_channel.h"
#include "fullmap/build/ingest_producer.h"
#include "fullmap/build/run_io.h"
#include "fullmap/store/layout.h"
#include "ingest_test_util.h"

namespace corv::fullmap {
namespace {

// The row decoder never reads an ignored member's string, so bytes that are
// not UTF-8 there used to reach the build unnoticed.
TEST(IngestRegression, SynonymLineWithInvalidUtf8InAnIgnoredMemberFailsTheProducer) {
  auto dir = testing::fresh_test_dir("ingest_regression");
  auto file = testing::write_file(dir / "u.ndjson", "{\"curie\":\"A:1\"}\n{\"curie\":\"A:2\",\"note\":\"\xff\"}\n");
  absl::flat_hash_map<std::string, uint8_t> ids{{"u", 0}};
  std::vector<std::filesystem::path> files{file};
  auto [sender, receiver] = make_channel<Chunk>(8);
  ProducerState state{files, ids, 0, nullptr};
  Status s = produce_file(file, sender, state);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message, kInvalidUtf8Message);
  sender.reset();
  // The valid line before it was still sent.
  auto first = receiver.recv();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->line_count(), 1u);
  EXPECT_EQ(std::string(first->line(0)), "{\"curie\":\"A:1\"}");
  EXPECT_FALSE(receiver.recv().has_value());
}

// A worker count above 65,536 made oneTBB fault while tearing down the
// build's arena, whatever became of the build. A missing class file ends it
// before the ingest starts its (equally many) threads.
TEST(IngestRegression, HugeWorkerCountFailsCleanly) {
  auto dir = testing::fresh_test_dir("ingest_regression");
  auto synonyms = testing::write_file(dir / "s.ndjson", "{\"curie\":\"A:1\",\"names\":[\"a\"]}\n");
  const auto output = dir / "fm.redb";
  BuildSettings settings;
  settings.spill_dir = default_spill_dir(output);
  Status s = build_fullmap_inner(output, {dir / "missing.jsonl"}, {synonyms}, 100000, kBuildShardCount, nullptr,
                                 std::move(settings));
  ASSERT_FALSE(s);
  EXPECT_NE(s.error().message.find("(os error 2)"), std::string::npos) << s.error().message;
}

}  // namespace
}  // namespace corv::fullmap
