#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fullmap/build/chunk_channel.h"
#include "fullmap/build/ingest_producer.h"
#include "fullmap/build/run_io.h"
#include "fullmap/build/source_name.h"
#include "ingest_test_util.h"

namespace corv::fullmap {
namespace {

using testing::ProgressCall;
using testing::RecordingProgress;

TEST(SourceName, StemWithoutNdjsonEndings) {
  EXPECT_EQ(source_name("data/foo.ndjson"), "foo");
  EXPECT_EQ(source_name("data/foo.ndjson.gz"), "foo");
  EXPECT_EQ(source_name("other/foo.txt"), "foo");
  EXPECT_EQ(source_name("foo.ndjson.ndjson.gz"), "foo");
  EXPECT_EQ(source_name("dir.d/foo"), "foo");
  EXPECT_EQ(source_name("foo.tar.gz"), "foo.tar");
  EXPECT_EQ(source_name("data/foo.ndjson/"), "foo");
  EXPECT_EQ(source_name("data/foo.ndjson/."), "foo");
}

TEST(SourceName, DotFilesEmptyNamesAndFallbacks) {
  EXPECT_EQ(source_name(".ndjson"), "");
  EXPECT_EQ(source_name("a/.ndjson.gz"), "");
  EXPECT_EQ(source_name(".hidden"), ".hidden");
  EXPECT_EQ(source_name("/"), "BABEL");
  EXPECT_EQ(source_name(""), "BABEL");
  EXPECT_EQ(source_name("a/.."), "BABEL");
  EXPECT_EQ(source_name("x/caf\xc3\xa9.ndjson"), "caf\xc3\xa9");
  EXPECT_EQ(source_name("x/bad\xff.ndjson"), "BABEL");
  EXPECT_EQ(source_name("x/ok.\xff"), "ok") << "only the stem must be UTF-8";
}

class ProduceFile : public ::testing::Test {
 protected:
  // Runs one producer over `files` and returns every chunk it sent.
  std::vector<Chunk> produce(const std::vector<std::filesystem::path>& files, size_t chunk_bytes,
                             Status* status = nullptr) {
    absl::flat_hash_map<std::string, uint8_t> ids;
    for (const auto& f : files) ids.try_emplace(source_name(f), static_cast<uint8_t>(ids.size()));
    auto [sender, receiver] = make_channel<Chunk>(1000);
    ProducerState state{files, ids, chunk_bytes, progress_};
    Status s = producer_loop(std::move(sender), state);
    if (status) *status = s;
    std::vector<Chunk> chunks;
    while (auto c = receiver.recv()) chunks.push_back(std::move(*c));
    return chunks;
  }

  static std::vector<std::string> lines_of(const Chunk& c) {
    std::vector<std::string> out;
    for (size_t i = 0; i < c.line_count(); ++i) out.emplace_back(c.line(i));
    return out;
  }

  corv::testing::ScratchDir dir_;
  std::shared_ptr<RecordingProgress> progress_ = std::make_shared<RecordingProgress>();
};

TEST_F(ProduceFile, ChunksCloseOnceTheyReachChunkBytes) {
  auto file = testing::write_file(dir_ / "s.ndjson", "aaaa\n\nbbbbbb\ncc");
  auto chunks = produce({file}, 10);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(lines_of(chunks[0]), (std::vector<std::string>{"aaaa", "bbbbbb"}));
  EXPECT_EQ(lines_of(chunks[1]), (std::vector<std::string>{"cc"}));
  EXPECT_EQ(progress_->calls(),
            (std::vector<ProgressCall>{{1, 2, 0, "s \xC2\xB7 2 rows"}, {1, 3, 0, "s \xC2\xB7 3 rows (1/1 files)"}}));
}

TEST_F(ProduceFile, ZeroChunkBytesSendsEveryLineAlone) {
  auto file = testing::write_file(dir_ / "z.ndjson", "one\r\n  \t\r\ntwo\n\n\nthree\n");
  auto chunks = produce({file}, 0);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(lines_of(chunks[0]), (std::vector<std::string>{"one"}));
  EXPECT_EQ(lines_of(chunks[1]), (std::vector<std::string>{"two"}));
  EXPECT_EQ(lines_of(chunks[2]), (std::vector<std::string>{"three"}));
  EXPECT_EQ(progress_->calls(), (std::vector<ProgressCall>{{1, 1, 0, "z \xC2\xB7 1 rows"},
                                                           {1, 2, 0, "z \xC2\xB7 2 rows"},
                                                           {1, 3, 0, "z \xC2\xB7 3 rows"},
                                                           {1, 3, 0, "z \xC2\xB7 3 rows (1/1 files)"}}));
}

TEST_F(ProduceFile, BlankFilesReportTheirEndAndCountsRunAcrossFiles) {
  auto a = testing::write_file(dir_ / "a.ndjson", "x1\nx2\n");
  auto blank = testing::write_file(dir_ / "blank.ndjson", " \n\t\n\r\n");
  auto b = testing::write_file(dir_ / "b.ndjson", "y1");
  auto chunks = produce({a, blank, b}, 1 << 20);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].source_id, 0);
  EXPECT_EQ(chunks[1].source_id, 2);
  EXPECT_EQ(lines_of(chunks[1]), (std::vector<std::string>{"y1"}));
  EXPECT_EQ(progress_->calls(), (std::vector<ProgressCall>{{1, 2, 0, "a \xC2\xB7 2 rows (1/3 files)"},
                                                           {1, 2, 0, "blank \xC2\xB7 2 rows (2/3 files)"},
                                                           {1, 3, 0, "b \xC2\xB7 3 rows (3/3 files)"}}));
}

TEST_F(ProduceFile, KeepsInnerWhiteSpaceAndOnlyStripsTheLineEnd) {
  auto file = testing::write_file(dir_ / "w.ndjson", "  {\"a\": 1} \t\r\r\n\x0b\n");
  auto chunks = produce({file}, 1 << 20);
  ASSERT_EQ(chunks.size(), 1u);
  // A vertical tab is not blank: the line is sent and left to the decoder.
  EXPECT_EQ(lines_of(chunks[0]), (std::vector<std::string>{"  {\"a\": 1} \t", "\x0b"}));
}

TEST_F(ProduceFile, MissingFileEndsTheProducerWithTheOsError) {
  Status status;
  auto chunks = produce({dir_ / "absent.ndjson"}, 10, &status);
  EXPECT_TRUE(chunks.empty());
  ASSERT_FALSE(status);
  EXPECT_NE(status.error().message.find("os error 2"), std::string::npos) << status.error().message;
  EXPECT_TRUE(progress_->calls().empty());
}

// The row decoder never reads an ignored member's string, so the producer
// checks every line's bytes: nothing later would see bad UTF-8 there.
TEST_F(ProduceFile, InvalidUtf8EvenInAnIgnoredMemberFailsTheProducer) {
  auto file = testing::write_file(dir_ / "u.ndjson", "{\"curie\":\"A:1\"}\n{\"curie\":\"A:2\",\"note\":\"\xff\"}\n");
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

TEST_F(ProduceFile, ClosedChannelEndsTheProducer) {
  auto file = testing::write_file(dir_ / "c.ndjson", "a\nb\n");
  absl::flat_hash_map<std::string, uint8_t> ids{{"c", 0}};
  std::vector<std::filesystem::path> files{file};
  auto [sender, receiver] = make_channel<Chunk>(4);
  receiver.reset();
  ProducerState state{files, ids, 0, nullptr};
  Status s = produce_file(file, sender, state);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message, "sending on a closed channel");
}

}  // namespace
}  // namespace corv::fullmap
