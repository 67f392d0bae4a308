// Inputs found by fuzzing the ingest decoders.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fullmap/build/chunk_channel.h"
#include "fullmap/build/ingest_producer.h"
#include "fullmap/build/run_io.h"
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

}  // namespace
}  // namespace corv::fullmap
