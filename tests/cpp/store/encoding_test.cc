#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fullmap/store/layout.h"
#include "fullmap/store/record_encoding.h"

namespace corv::fullmap {
namespace {

std::string le64(uint64_t v) { return std::string(reinterpret_cast<const char*>(&v), 8); }

TEST(CurieRowEncoding, FixedLayoutAndRoundTrip) {
  const CurieRow empty{};
  EXPECT_EQ(encode_curie_row(empty).size(), 24u);

  const CurieRow row{0x0102, "D000001", "caf\xc3\xa9", 0x0304, -1};
  const std::string bytes = encode_curie_row(row);
  std::string want =
      "\x02\x01" + le64(7) + "D000001" + le64(5) + "caf\xc3\xa9" + "\x04\x03" + std::string("\xff\xff\xff\xff");
  EXPECT_EQ(bytes, want);

  auto back = decode_curie_row(bytes + "trailing bytes");
  ASSERT_TRUE(back) << back.error().message;
  EXPECT_EQ(*back, row);
  EXPECT_EQ(back->taxon_id, -1);

  // Every proper prefix ends inside the value.
  for (size_t n = 0; n < bytes.size(); ++n) {
    auto cut = decode_curie_row(std::string_view(bytes).substr(0, n));
    ASSERT_FALSE(cut) << n;
    EXPECT_EQ(cut.error().message, "invalid record: unexpected end of data");
  }
}

TEST(CurieRowEncoding, RejectsInvalidUtf8AndHugeLengths) {
  std::string bytes = encode_curie_row(CurieRow{1, "ab", "cd", 2, 3});
  bytes[2 + 8 + 1] = '\xc0';  // second byte of local_id
  auto bad = decode_curie_row(bytes);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message, "invalid record: string is not valid UTF-8 (bad byte at offset 1)");

  std::string huge("\x01\x00", 2);
  huge.append(le64(~0ull)).append("x");
  auto cut = decode_curie_row(huge);
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().message, "invalid record: unexpected end of data");
}

TEST(SourceRowEncoding, IsOneLengthPrefixedString) {
  EXPECT_EQ(encode_source_row("abc"), le64(3) + "abc");
  auto back = decode_source_row(le64(3) + "abcdef");
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, "abc");
  EXPECT_FALSE(decode_source_row(le64(4) + "abc"));
  EXPECT_FALSE(decode_source_row(std::string("\x03\x00", 2)));
}

TEST(TermRecordEncoding, LayoutRoundTripAndErrors) {
  const std::vector<TermPosting> postings = {{1, 0}, {0x01020304, 255}};
  std::string bytes;
  encode_term_record("aspirin", std::span<const TermPosting>(postings), bytes);
  EXPECT_EQ(bytes.size(), 16 + 7 + 5 * 2u);
  EXPECT_EQ(bytes, le64(7) + "aspirin" + le64(2) + std::string("\x01\x00\x00\x00\x00", 5) + "\x04\x03\x02\x01\xff");

  auto back = decode_term_record(bytes + "xyz");
  ASSERT_TRUE(back) << back.error().message;
  EXPECT_EQ(back->term, "aspirin");
  EXPECT_EQ(back->postings, postings);

  std::string empty;
  encode_term_record("t", std::span<const TermPosting>(), empty);
  EXPECT_EQ(empty.size(), 17u);
  auto none = decode_term_record(empty);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->term, "t");
  EXPECT_TRUE(none->postings.empty());

  // A posting count the bytes cannot hold, even one short.
  EXPECT_FALSE(decode_term_record(bytes.substr(0, bytes.size() - 1)));
  EXPECT_FALSE(decode_term_record(le64(1) + "t" + le64(~0ull / 5 + 1)));
  // Appending to a buffer keeps what it held.
  std::string appended = "prefix";
  encode_term_record("t", std::span<const TermPosting>(), appended);
  EXPECT_EQ(appended, "prefix" + empty);
}

TEST(TermHash, IsXxh64SeedZeroAndPicksShardByLowBits) {
  EXPECT_EQ(term_hash(""), 0xEF46DB3751D8E999ull);
  EXPECT_EQ(term_hash("a"), 0xD24EC4F1A98C6E5Bull);
  EXPECT_EQ(shard_of(0xEF46DB3751D8E999ull, 16), 9u);
  EXPECT_EQ(shard_of(0xEF46DB3751D8E999ull, 1), 0u);
  EXPECT_EQ(shard_of(0xEF46DB3751D8E999ull, 4), 1u);
}

TEST(ShardPath, StemExtensionAndParentRules) {
  const auto sp = [](const std::string& base, uint64_t i) { return shard_path(base, i).native(); };
  EXPECT_EQ(sp("out/fullmap.redb", 3), "out/fullmap.s3.redb");
  EXPECT_EQ(sp("data/map", 0), "data/map.s0.redb");
  EXPECT_EQ(sp("x.tar.gz", 0), "x.tar.s0.gz");
  EXPECT_EQ(sp("map.", 0), "map.s0.");
  EXPECT_EQ(sp("fullmap.redb", 0), "fullmap.s0.redb");
  EXPECT_EQ(sp("", 0), "fullmap.s0.redb");
  EXPECT_EQ(sp("/", 15), "fullmap.s15.redb");
  EXPECT_EQ(sp("/data/fm.db", 12), "/data/fm.s12.db");
  EXPECT_EQ(sp("/fm.db", 1), "/fm.s1.db");
  EXPECT_EQ(sp(".hidden", 0), ".hidden.s0.redb");
  EXPECT_EQ(sp("dir/..", 0), "dir/fullmap.s0.redb");
  EXPECT_EQ(sp("dir/sub/", 2), "dir/sub.s2.redb");
  EXPECT_EQ(sp("dir/./fm.x", 2), "dir/fm.s2.x");
  EXPECT_EQ(sp("./fm.x", 2), "./fm.s2.x");
  EXPECT_EQ(sp("a\xff.b", 0), "a\xef\xbf\xbd.s0.b");
}

}  // namespace
}  // namespace corv::fullmap
