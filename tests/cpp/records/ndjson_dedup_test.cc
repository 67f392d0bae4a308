#include "records/ndjson_dedup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "records/seen_set.h"
#include "records/uuid.h"
#include "scratch_dir.h"

namespace corv::records {
namespace {

namespace fs = std::filesystem;

class DedupTest : public ::testing::Test {
 protected:
  fs::path write(const std::string& name, const std::string& content) {
    fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  static std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // Output text, or "error: ..." followed by whatever was written.
  std::string run(const std::string& input, bool is_edges = false, std::string_view domain = kDefaultDomain) {
    fs::path in = write("in.ndjson", input);
    fs::path out = dir_ / "out.ndjson";
    auto s = dedup_ndjson(in, out, is_edges, domain);
    if (!s) return "error: " + s.error().message + "\n" + read(out);
    return read(out);
  }

  testing::ScratchDir dir_;
};

TEST_F(DedupTest, CanonicalFirstOccurrences) {
  EXPECT_EQ(run("{\"a\":1}\n{ \"a\" : 1 }\n{\"a\":1,\"b\":null}\n{\"a\":1}\n"), "{\"a\":1}\n");
  EXPECT_EQ(run("{\"a\":1,\"b\":2}\n{\"b\":2,\"a\":1}\n{\"a\":1,\"b\":2}\n"), "{\"a\":1,\"b\":2}\n{\"b\":2,\"a\":1}\n");
  EXPECT_EQ(run("{\"a\":1}\n{\"a\":1.0}\n{\"a\":1,\"a\":3}\n{\"a\":3}\n"), "{\"a\":1}\n{\"a\":1.0}\n{\"a\":3}\n");
  EXPECT_EQ(run("null\n[1, 2]\n\"s\"\nnull\n-0\n"), "null\n[1,2]\n\"s\"\n-0.0\n");
}

TEST_F(DedupTest, LineEndingsAndBlankLines) {
  EXPECT_EQ(run("{\"a\":1}\r\n\r\n   \n\t\n\xC2\xA0\xE3\x80\x80\n{\"b\":2}"), "{\"a\":1}\n{\"b\":2}\n");
  EXPECT_EQ(run("{}\n{\"a\":null}\n{\"a\":\"NA\"}\n"), "");
  EXPECT_EQ(run(""), "");
  // A CR without LF is JSON white space; a lone CR at the very end too.
  EXPECT_EQ(run("{\"a\":1}\r"), "{\"a\":1}\n");
}

TEST_F(DedupTest, LinesLongerThanTheReadBuffer) {
  std::string big(20000, 'x');
  std::string input;
  for (int i = 0; i < 3; ++i) input += "{\"k\":\"" + big + std::to_string(i % 2) + "\"}\r\n";
  EXPECT_EQ(run(input), "{\"k\":\"" + big + "0\"}\n{\"k\":\"" + big + "1\"}\n");

  // Many short lines across buffer boundaries, with a CRLF split between reads.
  std::string lines, expected;
  for (int i = 0; i < 3000; ++i) {
    lines += "{\"n\":" + std::to_string(i % 1000) + "}\r\n";
    if (i < 1000) expected += "{\"n\":" + std::to_string(i) + "}\n";
  }
  EXPECT_EQ(run(lines), expected);
}

TEST_F(DedupTest, EdgesGetIdsFromTheirStrippedMembers) {
  NameUuid corv(kDefaultDomain);
  std::string a1 = corv.of_name("1:a1:1");
  EXPECT_EQ(run("{\"a\":1,\"b\":null}\n", true), "{\"a\":1,\"id\":\"" + a1 + "\"}\n");
  // An existing id keeps its place and is part of the name.
  EXPECT_EQ(run("{\"id\":\"x\",\"a\":1}\n", true), "{\"id\":\"" + corv.of_name("1:a1:12:id1:x") + "\",\"a\":1}\n");
  EXPECT_EQ(run("{\"id\":null,\"a\":1}\n", true), "{\"a\":1,\"id\":\"" + a1 + "\"}\n");
  // Member order changes the line but not the id.
  std::string both = run("{\"a\":1,\"b\":2}\n{\"b\":2,\"a\":1}\n", true);
  std::string id = corv.of_name("1:a1:11:b1:2");
  EXPECT_EQ(both, "{\"a\":1,\"b\":2,\"id\":\"" + id + "\"}\n{\"b\":2,\"a\":1,\"id\":\"" + id + "\"}\n");
  EXPECT_EQ(run("{\"a\":1}\n", true, "other"), "{\"a\":1,\"id\":\"" + NameUuid("other").of_name("1:a1:1") + "\"}\n");
  EXPECT_EQ(run("{}\n{\"x\":\"\"}\n", true), "");
}

TEST_F(DedupTest, FailuresKeepEarlierLines) {
  EXPECT_EQ(run("{\"a\":1}\n{\"b\":2}\n{\"c\":\n{\"d\":4}\n"),
            "error: EOF while parsing a value at line 1 column 5\n{\"a\":1}\n{\"b\":2}\n");
  EXPECT_EQ(run("{\"a\":1}\nnull\n{\"b\":2}\n", true),
            "error: expected JSON object\n{\"a\":1,\"id\":\"" + NameUuid(kDefaultDomain).of_name("1:a1:1") + "\"}\n");
  EXPECT_EQ(run("1\n\xEF\xBB\xBF{}\n"), "error: expected value at line 1 column 1\n1\n");
  EXPECT_EQ(run("1\n{\"a\":\"\xFF\"}\n"), "error: stream did not contain valid UTF-8\n1\n");
  EXPECT_EQ(run("[1e400]\n"), "error: number out of range at line 1 column 6\n");
  EXPECT_EQ(run("{\"a\":1} {\"a\":1}\n"), "error: trailing characters at line 1 column 9\n");
  EXPECT_EQ(run(std::string(200, '[') + "\n"), "error: recursion limit exceeded at line 1 column 128\n");
}

TEST_F(DedupTest, MissingInputLeavesOutputAlone) {
  fs::path out = write("out.ndjson", "keep me\n");
  auto s = dedup_ndjson(dir_ / "missing.ndjson", out, false, kDefaultDomain);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message, "No such file or directory (os error 2)");
  EXPECT_EQ(read(out), "keep me\n");

  fs::path in = write("in.ndjson", "{\"a\":1}\n");
  auto bad_out = dedup_ndjson(in, dir_ / "no-such-dir" / "out.ndjson", false, kDefaultDomain);
  ASSERT_FALSE(bad_out);
  EXPECT_EQ(bad_out.error().message, "No such file or directory (os error 2)");
}

TEST_F(DedupTest, RefusesToOverwriteItsOwnInput) {
  std::string content = "{\"a\":1}\n{\"a\":1}\n";
  fs::path in = write("in.ndjson", content);
  fs::create_hard_link(in, dir_ / "link.ndjson");
  fs::create_symlink(in, dir_ / "sym.ndjson");
  for (fs::path out : {in, dir_ / "link.ndjson", dir_ / "sym.ndjson", dir_ / "." / "in.ndjson"}) {
    auto s = dedup_ndjson(in, out, false, kDefaultDomain);
    ASSERT_FALSE(s) << out;
    EXPECT_EQ(s.error().message, "input and output are the same file");
    EXPECT_EQ(read(in), content);
  }
}

TEST(SeenSet, ExactBytesDecide) {
  SeenSet seen;
  EXPECT_TRUE(seen.insert_if_new("{\"a\":1}"));
  EXPECT_FALSE(seen.insert_if_new("{\"a\":1}"));
  EXPECT_TRUE(seen.insert_if_new("{\"a\":1} "));
  EXPECT_TRUE(seen.insert_if_new(""));
  EXPECT_FALSE(seen.insert_if_new(""));
  // Enough records to span several storage blocks; all copies must survive.
  for (int i = 0; i < 200000; ++i) ASSERT_TRUE(seen.insert_if_new("record " + std::to_string(i)));
  for (int i = 0; i < 200000; i += 997) ASSERT_FALSE(seen.insert_if_new("record " + std::to_string(i)));
  EXPECT_EQ(seen.size(), 200003u);
}

TEST(SeenSet, EqualDigestsNeverMergeRecords) {
  // Every record in one bucket: only the byte comparison tells them apart.
  SeenSet seen([](std::string_view bytes) -> uint64_t { return bytes.size() % 2; });
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 500; ++i) {
      std::string record = std::to_string(i);
      record += 'r';
      EXPECT_EQ(seen.insert_if_new(record), round == 0) << i;
    }
  }
  EXPECT_EQ(seen.size(), 500u);
}

}  // namespace
}  // namespace corv::records
