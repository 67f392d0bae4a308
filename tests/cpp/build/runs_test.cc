#include <gtest/gtest.h>
#include <sys/stat.h>
#include <xxhash.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "build/ingest_test_util.h"
#include "fullmap/build/curie_run.h"
#include "fullmap/build/equiv_run.h"
#include "fullmap/build/term_run.h"

namespace corv::fullmap {
namespace {

using corv::testing::ScratchDir;
using testing::le32;
using testing::read_file;
using testing::write_file;

std::string le64(uint64_t v) {
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

uint64_t hash_of(std::string_view s) { return XXH64(s.data(), s.size(), 0); }

void put(TermMap& map, std::string_view term, std::initializer_list<Posting> postings) {
  for (const Posting& p : postings) map.add(term, p);
}

// The run file at `path`, opened as the build opens its runs: by name in
// its held directory.
template <class Reader>
Result<Reader> open_run(const std::filesystem::path& path) {
  return Reader::open(testing::hold(path.parent_path()), path.filename());
}

Result<uint64_t> count_frames_at(const std::filesystem::path& path) {
  return count_run_frames(testing::hold(path.parent_path()), path.filename());
}

std::vector<TermFrame> read_all_frames(const std::filesystem::path& path) {
  auto reader = open_run<RunReader>(path);
  EXPECT_TRUE(reader) << reader.error().message;
  std::vector<TermFrame> frames;
  for (;;) {
    auto more = reader->read_frame();
    EXPECT_TRUE(more) << more.error().message;
    if (!more || !*more) return frames;
    frames.push_back(reader->frame);
  }
}

TEST(TermRunTest, FrameBytesSortAndDeduplicatePostings) {
  ScratchDir dir;
  TermMap terms;
  put(terms, "ab", {{7, 2}, {1, 0}, {7, 2}, {7, 1}});
  auto runs = spill_run(terms, testing::hold(dir.path()), 3, 1);
  ASSERT_TRUE(runs) << runs.error().message;
  ASSERT_EQ(runs->size(), 1u);
  EXPECT_EQ((*runs)[0].shard, 0u);
  EXPECT_EQ((*runs)[0].name, "run_s0_00000003.bin");
  std::string expected = le32(2) + "ab" + le32(3) + le32(1) + '\x00' + le32(7) + '\x01' + le32(7) + '\x02';
  EXPECT_EQ(read_file(dir / (*runs)[0].name), expected);
}

TEST(TermRunTest, SpillPartitionsByShardInHashOrderAndReadsBack) {
  ScratchDir dir;
  TermMap terms;
  std::vector<std::string> all;
  for (int i = 0; i < 500; ++i) {
    std::string term = "term " + std::to_string(i);
    all.push_back(term);
    put(terms, term, {{static_cast<uint32_t>(i), 1}, {static_cast<uint32_t>(i / 2), 0}});
  }
  const size_t capacity = terms.capacity();
  auto runs = spill_run(terms, testing::hold(dir.path()), 12345678901ULL, 16);
  ASSERT_TRUE(runs) << runs.error().message;
  EXPECT_TRUE(terms.empty());
  EXPECT_EQ(terms.capacity(), capacity);
  ASSERT_EQ(runs->size(), 16u);  // 500 terms reach every shard

  size_t seen = 0;
  for (size_t k = 0; k < runs->size(); ++k) {
    const ShardRun& run = (*runs)[k];
    EXPECT_EQ(run.shard, k);
    EXPECT_EQ(run.name, "run_s" + std::to_string(k) + "_12345678901.bin");
    auto frames = read_all_frames(dir / run.name);
    auto count = count_frames_at(dir / run.name);
    ASSERT_TRUE(count);
    EXPECT_EQ(*count, frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
      const TermFrame& f = frames[i];
      EXPECT_EQ(hash_of(f.term) & 15, k) << f.term;
      if (i > 0) {
        const TermFrame& prev = frames[i - 1];
        auto key = [](const TermFrame& t) { return std::make_pair(hash_of(t.term), t.term); };
        EXPECT_LT(key(prev), key(f));
      }
      uint32_t n = static_cast<uint32_t>(std::stoi(f.term.substr(5)));
      std::vector<Posting> want = {{n / 2, 0}, {n, 1}};
      if (n == 0) want = {{0, 0}, {0, 1}};
      EXPECT_EQ(f.postings, want) << f.term;
    }
    seen += frames.size();
  }
  EXPECT_EQ(seen, all.size());
}

TEST(TermRunTest, LargeTermCrossesReadBuffer) {
  ScratchDir dir;
  TermMap terms;
  std::string big(3 * kTermRunReadBufferBytes + 17, 'x');
  put(terms, big, {{9, 9}});
  put(terms, "small", {{1, 1}});
  auto runs = spill_run(terms, testing::hold(dir.path()), 1, 1);
  ASSERT_TRUE(runs);
  auto frames = read_all_frames(dir / (*runs)[0].name);
  ASSERT_EQ(frames.size(), 2u);
  auto it = std::find_if(frames.begin(), frames.end(), [&](const TermFrame& f) { return f.term == big; });
  ASSERT_NE(it, frames.end());
  EXPECT_EQ(it->postings, (std::vector<Posting>{{9, 9}}));
}

TEST(TermRunTest, TruncatedFrameAndInvalidUtf8) {
  ScratchDir dir;
  std::string frame = le32(3) + "abc" + le32(2) + le32(1) + '\x00' + le32(2) + '\x05';
  // Every cut inside the frame is an error; a cut at the boundary is a clean end.
  for (size_t cut = 1; cut < frame.size(); ++cut) {
    auto path = write_file(dir / "cut.bin", frame + frame.substr(0, cut));
    auto reader = open_run<RunReader>(path);
    ASSERT_TRUE(reader);
    auto first = reader->read_frame();
    ASSERT_TRUE(first && *first);
    EXPECT_EQ(reader->frame.term, "abc");
    auto second = reader->read_frame();
    ASSERT_FALSE(second) << "cut at " << cut;
    EXPECT_EQ(second.error().message, "failed to fill whole buffer");
  }

  auto bad = write_file(dir / "bad.bin", le32(2) + "\xC3\x28" + le32(0));
  auto reader = open_run<RunReader>(bad);
  ASSERT_TRUE(reader);
  auto got = reader->read_frame();
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().message, "invalid utf-8 sequence of 1 bytes from index 0");

  auto missing = open_run<RunReader>(dir / "missing.bin");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");
}

// The reader refills one frame: nothing of a longer frame may show through
// a shorter one, and a huge frame's storage is not kept for the small ones.
TEST(TermRunTest, EachFrameReplacesTheLastAndAHugeOnesStorageGoes) {
  ScratchDir dir;
  auto frame_of = [](const std::string& term, uint32_t postings) {
    std::string out = le32(static_cast<uint32_t>(term.size())) + term + le32(postings);
    for (uint32_t i = 0; i < postings; ++i) out += le32(i) + '\x03';
    return out;
  };
  const std::string huge(20000, 'h');
  auto path = write_file(dir / "run.bin", frame_of("abcdef", 3) + frame_of(huge, 20000) + frame_of("ab", 1));
  auto reader = open_run<RunReader>(path);
  ASSERT_TRUE(reader);
  const TermFrame& frame = reader->frame;

  auto more = reader->read_frame();
  ASSERT_TRUE(more && *more);
  EXPECT_EQ(frame.term, "abcdef");
  EXPECT_EQ(frame.postings, (std::vector<Posting>{{0, 3}, {1, 3}, {2, 3}}));
  more = reader->read_frame();
  ASSERT_TRUE(more && *more);
  EXPECT_EQ(frame.term, huge);
  EXPECT_EQ(frame.postings.size(), 20000u);
  more = reader->read_frame();
  ASSERT_TRUE(more && *more);
  EXPECT_EQ(frame.term, "ab");
  EXPECT_EQ(frame.postings, (std::vector<Posting>{{0, 3}}));
  EXPECT_LT(frame.term.capacity(), huge.size());
  EXPECT_LT(frame.postings.capacity(), 20000u);
  more = reader->read_frame();
  ASSERT_TRUE(more);
  EXPECT_FALSE(*more);
  EXPECT_EQ(frame.term, "ab");
}

TEST(TermRunTest, CountRunFramesChecksOnlyLengthFields) {
  ScratchDir dir;
  std::string frame = le32(3) + "abc" + le32(2) + std::string(10, '\x01');
  // Postings cut short still count; no UTF-8 check.
  auto path = write_file(dir / "a.bin", frame + le32(2) + "\xFF\xFF" + le32(4) + "\x01\x02");
  auto count = count_frames_at(path);
  ASSERT_TRUE(count) << count.error().message;
  EXPECT_EQ(*count, 2u);

  auto empty = count_frames_at(write_file(dir / "empty.bin", ""));
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, 0u);

  // A term length or posting count cut short is an error.
  auto short_length = count_frames_at(write_file(dir / "b.bin", frame + "\x02\x00"));
  ASSERT_FALSE(short_length);
  EXPECT_EQ(short_length.error().message, "failed to fill whole buffer");
  auto short_count = count_frames_at(write_file(dir / "c.bin", frame + le32(1) + "z" + "\x01"));
  ASSERT_FALSE(short_count);
  EXPECT_EQ(short_count.error().message, "failed to fill whole buffer");
}

TEST(RunWriterTest, CreatesWithMode0666UnderUmaskAndReportsOsErrors) {
  ScratchDir dir;
  mode_t old = ::umask(022);
  ::umask(old);
  TermMap terms;
  put(terms, "t", {{1, 1}});
  auto runs = spill_run(terms, testing::hold(dir.path()), 0, 1);
  ASSERT_TRUE(runs);
  struct stat st;
  ASSERT_EQ(::stat((dir / (*runs)[0].name).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~old);

  put(terms, "t", {{1, 1}});
  std::filesystem::create_directory(dir / "gone");
  const HeldDirectory gone = testing::hold(dir / "gone");
  std::filesystem::remove(dir / "gone");
  auto failed = spill_run(terms, gone, 0, 1);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message, "No such file or directory (os error 2)");
}

TEST(CurieRunTest, BytesRoundTripAndTruncation) {
  ScratchDir dir;
  CurieRunBatch batch;
  batch.reserve(8);
  batch.push_back({0x01020304, "row-a"});
  batch.push_back({5, ""});
  batch.push_back({2, std::string(2 * kCurieRunReadBufferBytes, 'r')});
  auto name = spill_curie_run(batch, testing::hold(dir.path()), 42);
  ASSERT_TRUE(name) << name.error().message;
  EXPECT_EQ(*name, "curie_run_00000042.bin");
  const auto path = dir / *name;
  EXPECT_TRUE(batch.empty());
  EXPECT_GE(batch.capacity(), 8u);

  std::string bytes = read_file(path);
  EXPECT_EQ(bytes.substr(0, 21), le32(0x01020304) + le32(5) + "row-a" + le32(5) + le32(0));

  auto reader = open_run<CurieRunReader>(path);
  ASSERT_TRUE(reader);
  std::vector<CurieRunRow> rows;
  for (;;) {
    auto row = reader->next_row();
    ASSERT_TRUE(row) << row.error().message;
    if (!*row) break;
    rows.push_back(std::move(**row));
  }
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].curie_id, 0x01020304u);
  EXPECT_EQ(rows[0].row, "row-a");
  EXPECT_EQ(rows[1].curie_id, 5u);
  EXPECT_EQ(rows[1].row, "");
  EXPECT_EQ(rows[2].curie_id, 2u);
  EXPECT_EQ(rows[2].row.size(), 2 * kCurieRunReadBufferBytes);

  // Cut inside the id, the length and the row bytes.
  for (size_t cut : {1, 6, 12}) {
    auto cut_path = write_file(dir / "cut.bin", bytes.substr(0, cut));
    auto cut_reader = open_run<CurieRunReader>(cut_path);
    ASSERT_TRUE(cut_reader);
    auto row = cut_reader->next_row();
    ASSERT_FALSE(row) << cut;
    EXPECT_EQ(row.error().message, "failed to fill whole buffer");
  }
}

TEST(EquivRunTest, SpillSortsDeduplicatesAndRecordsRuns) {
  ScratchDir dir;
  std::atomic<uint64_t> counter{7};
  EquivRunList runs;
  EquivMap map;
  const HeldDirectory held = testing::hold(dir.path());
  ASSERT_TRUE(spill_equiv_local(map, held, counter, runs));
  EXPECT_EQ(counter.load(), 7u);  // empty map draws no number
  EXPECT_TRUE(runs.names.empty());

  map["A:1"] = {"B:2", "A:1", "B:2"};
  ASSERT_TRUE(spill_equiv_local(map, held, counter, runs));
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(counter.load(), 8u);
  ASSERT_EQ(runs.names.size(), 1u);
  EXPECT_EQ(runs.names[0], "run_00000007.bin");
  EXPECT_EQ(read_file(dir / runs.names[0]),
            le64(hash_of("A:1")) + le32(3) + "A:1" + le32(2) + le32(3) + "A:1" + le32(3) + "B:2");

  for (int i = 0; i < 300; ++i) map["K:" + std::to_string(i)] = {"x", "\xC3\xA9", "y", "x"};
  map["E:0"] = {};
  ASSERT_TRUE(spill_equiv_local(map, held, counter, runs));
  ASSERT_EQ(runs.names.size(), 2u);
  auto reader = EquivRunReader::open(held, runs.names[1]);
  ASSERT_TRUE(reader);
  std::vector<EquivEntry> entries;
  for (;;) {
    auto more = reader->read_entry();
    ASSERT_TRUE(more) << more.error().message;
    if (!*more) break;
    entries.push_back(reader->entry);
  }
  ASSERT_EQ(entries.size(), 301u);
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].hash, hash_of(entries[i].key));
    if (i > 0) {
      EXPECT_LT(std::tie(entries[i - 1].hash, entries[i - 1].key), std::tie(entries[i].hash, entries[i].key));
    }
    if (entries[i].key == "E:0") {
      EXPECT_TRUE(entries[i].equivalents.empty());
    } else {
      EXPECT_EQ(entries[i].equivalents, (std::vector<std::string>{"x", "y", "\xC3\xA9"}));
    }
  }
}

TEST(EquivRunTest, ReadErrors) {
  ScratchDir dir;
  std::string frame = le64(1) + le32(1) + "k" + le32(1) + le32(2) + "ab";
  for (size_t cut = 1; cut < frame.size(); ++cut) {
    auto reader = open_run<EquivRunReader>(write_file(dir / "cut.bin", frame.substr(0, cut)));
    ASSERT_TRUE(reader);
    auto entry = reader->read_entry();
    ASSERT_FALSE(entry) << cut;
    EXPECT_EQ(entry.error().message, "failed to fill whole buffer");
  }
  for (auto [bad, text] :
       {std::pair{le64(1) + le32(1) + "\xFF" + le32(0), "invalid utf-8 sequence of 1 bytes from index 0"},
        std::pair{le64(1) + le32(1) + "k" + le32(1) + le32(3) + "a\xE2\x82",
                  "incomplete utf-8 byte sequence from index 1"}}) {
    auto reader = open_run<EquivRunReader>(write_file(dir / "bad.bin", bad));
    ASSERT_TRUE(reader);
    auto entry = reader->read_entry();
    ASSERT_FALSE(entry);
    EXPECT_EQ(entry.error().message, text);
  }
}

}  // namespace
}  // namespace corv::fullmap
