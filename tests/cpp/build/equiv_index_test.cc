#include "fullmap/build/equiv_index.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <xxhash.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "build/ingest_test_util.h"
#include "fullmap/build/build_settings.h"
#include "fullmap/build/class_row.h"

namespace corv::fullmap {
namespace {

using corv::testing::ScratchDir;
using testing::le32;
using testing::ProgressCall;
using testing::read_file;
using testing::RecordingProgress;
using testing::write_file;

std::string str32(std::string_view s) { return le32(static_cast<uint32_t>(s.size())) + std::string(s); }

uint64_t hash_of(std::string_view s) { return XXH64(s.data(), s.size(), 0); }

std::vector<std::string> lookup(const EquivIndex& index, std::string_view curie) {
  std::vector<std::string> out;
  index.equivalents(curie, [&](std::string_view id) { out.emplace_back(id); });
  return out;
}

using Ids = std::vector<std::string>;

// Key and identifiers of one line, or nullopt for a skipped row.
std::optional<std::pair<std::string, Ids>> row_key(std::string_view line) {
  ClassRow row;
  auto decoded = decode_class_row(line, row);
  EXPECT_TRUE(decoded) << line << ": " << decoded.error().message;
  std::string key;
  Ids ids;
  if (!take_class_row_key(row, key, ids)) return std::nullopt;
  return std::make_pair(key, ids);
}

std::string row_error(std::string_view line) {
  ClassRow row;
  auto decoded = decode_class_row(line, row);
  return decoded ? "(decoded)" : decoded.error().message;
}

TEST(ClassRowTest, KeysAndIdentifiers) {
  using Row = std::pair<std::string, Ids>;
  EXPECT_EQ(row_key(R"({"equivalent_identifiers":["A:1","B:2","A:1"]})"), Row("A:1", Ids({"A:1", "B:2"})));
  EXPECT_EQ(row_key(R"({"id":"X:1"})"), Row("X:1", Ids{}));
  EXPECT_EQ(row_key(R"({"curie":"Q","x":{"deep":[1,{"id":2}]},"equivalent_identifiers":[]})"), Row("Q", Ids{}));
  EXPECT_EQ(row_key(R"({"\u0069d":"Z"})"), Row("Z", Ids{}));
  EXPECT_EQ(row_key(R"( {"id":"K","equivalent_identifiers":[{"curie":"C:3"},["D:4"],[],{"identifier":null},)"
                    R"({"id":"E:5","other":[1,{"x":2}]},"C:3"]}  )"),
            Row("K", Ids({"C:3", "D:4", "E:5"})));
  // Positional rows.
  EXPECT_EQ(row_key(R"(["K",["A"]])"), Row("K", Ids({"A"})));
  EXPECT_EQ(row_key(R"([null,[{"id":"A"}]])"), Row("A", Ids({"A"})));
  // No key: nothing usable in first place.
  EXPECT_EQ(row_key(R"({"equivalent_identifiers":[{"name":"n"},"A:1"]})"), std::nullopt);
  EXPECT_EQ(row_key(R"({"id":null,"equivalent_identifiers":[]})"), std::nullopt);
  EXPECT_EQ(row_key(R"([])"), std::nullopt);
  EXPECT_EQ(row_key(R"({})"), std::nullopt);

  // Past the linear de-duplication limit the first occurrence still wins.
  std::string line = R"({"equivalent_identifiers":[)";
  Ids want;
  for (int i = 0; i < 40; ++i) {
    line += "\"I:" + std::to_string(i % 25) + "\",";
    if (i < 25) want.push_back("I:" + std::to_string(i));
  }
  line += R"("I:0"]})";
  EXPECT_EQ(row_key(line), Row("I:0", want));
}

TEST(ClassRowTest, ErrorTextsAndPositions) {
  EXPECT_EQ(row_error(R"({"curie":"A","id":"B"})"), "duplicate field `id` at line 1 column 17");
  EXPECT_EQ(row_error(R"({"id":"A","equivalent_identifiers":[],"equivalent_identifiers":[]})"),
            "duplicate field `equivalent_identifiers` at line 1 column 62");
  EXPECT_EQ(row_error(R"({"equivalent_identifiers":[42]})"),
            "data did not match any variant of untagged enum EquivId at line 1 column 29");
  EXPECT_EQ(row_error(R"({"equivalent_identifiers":[{"id":"A","identifier":"B"}]})"),
            "data did not match any variant of untagged enum EquivId at line 1 column 54");
  for (const char* element : {"null", "true", R"(["A","B"])", R"({"id":7})", R"([{}])"}) {
    std::string line = std::string(R"({"equivalent_identifiers":[)") + element + "]}";
    EXPECT_NE(row_error(line).find("data did not match any variant of untagged enum EquivId"), std::string::npos)
        << line;
  }
  EXPECT_EQ(row_error(R"({"id":42})"), "invalid type: integer `42`, expected a string at line 1 column 8");
  EXPECT_EQ(row_error(R"({"equivalent_identifiers":null})"),
            "invalid type: null, expected a sequence at line 1 column 30");
  EXPECT_EQ(row_error(R"(["X:1",["A:1"],3])"), "trailing characters at line 1 column 16");
  EXPECT_EQ(row_error("42"), "invalid type: integer `42`, expected struct ClassRow at line 1 column 2");
  EXPECT_EQ(row_error(R"({"id":"X"} x)"), "trailing characters at line 1 column 12");
  EXPECT_EQ(row_error("x"), "expected value at line 1 column 1");
  // A syntax error inside a bad element is reported as such.
  EXPECT_EQ(row_error(R"({"equivalent_identifiers":[{"id":1,}]})"), "trailing comma at line 1 column 36");
}

class EquivIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    spill_ = dir_ / "spill";
    std::filesystem::create_directories(spill_);
    held_ = testing::hold(spill_);
  }
  std::filesystem::path file(const std::string& name, std::string_view text) { return write_file(dir_ / name, text); }

  ScratchDir dir_;
  std::filesystem::path spill_;
  HeldDirectory held_;
};

TEST_F(EquivIndexTest, EmptyClassListGivesEmptyIndex) {
  auto progress = std::make_shared<RecordingProgress>();
  auto index = EquivIndex::build({}, held_, kDefaultEquivSpillEntries, progress);
  ASSERT_TRUE(index) << index.error().message;
  EXPECT_EQ(index->size(), 0u);
  EXPECT_TRUE(std::filesystem::is_regular_file(spill_ / "equiv_data.bin"));
  EXPECT_EQ(std::filesystem::file_size(spill_ / "equiv_data.bin"), 0u);
  EXPECT_TRUE(std::filesystem::is_directory(spill_ / "equiv"));
  EXPECT_TRUE(lookup(*index, "A:1").empty());
  EXPECT_TRUE(progress->calls().empty());
}

TEST_F(EquivIndexTest, MergesFilesIntoSortedMappedFile) {
  auto a = file("a.ndjson",
                "{\"equivalent_identifiers\":[\"A:1\",\"B:2\",\"A:1\"]}\r\n"
                "\n   \t\r\n"
                "{\"id\":\"K\",\"equivalent_identifiers\":[\"B\",\"A\"]}\n"
                "{\"id\":\"X:1\"}\n"
                "{\"equivalent_identifiers\":[{\"name\":\"n\"},\"S:1\"]}");
  auto b =
      file("b.ndjson.gz", testing::gzip("{\"curie\":\"K\",\"equivalent_identifiers\":[\"A\",{\"curie\":\"C\"}]}\n"));
  auto progress = std::make_shared<RecordingProgress>();
  std::vector<std::filesystem::path> classes = {a, b};
  std::string bytes;
  {
    auto index = EquivIndex::build(classes, held_, kDefaultEquivSpillEntries, progress);
    ASSERT_TRUE(index) << index.error().message;
    EXPECT_EQ(index->size(), 3u);
    EXPECT_EQ(lookup(*index, "A:1"), Ids({"A:1", "B:2"}));
    EXPECT_EQ(lookup(*index, "K"), Ids({"A", "B", "C"}));
    EXPECT_TRUE(lookup(*index, "X:1").empty());
    EXPECT_TRUE(lookup(*index, "S:1").empty());
    EXPECT_TRUE(lookup(*index, "B:2").empty());
    EXPECT_FALSE(std::filesystem::exists(spill_ / "equiv"));

    bytes = read_file(spill_ / "equiv_data.bin");
    std::string a1 = str32("A:1") + le32(2) + str32("A:1") + str32("B:2");
    ASSERT_EQ(a1.size(), 25u);
    std::string k = str32("K") + le32(3) + str32("A") + str32("B") + str32("C");
    std::string x1 = str32("X:1") + le32(0);
    std::vector<std::pair<uint64_t, std::string>> entries = {
        {hash_of("A:1"), a1}, {hash_of("K"), k}, {hash_of("X:1"), x1}};
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(bytes, entries[0].second + entries[1].second + entries[2].second);
  }
  EXPECT_FALSE(std::filesystem::exists(spill_ / "equiv_data.bin"));

  auto calls = progress->calls();
  ASSERT_EQ(calls.size(), 2u);
  std::sort(calls.begin(), calls.end(), [](auto& x, auto& y) { return x.message < y.message; });
  EXPECT_EQ(calls[0].message, "a.ndjson");
  EXPECT_EQ(calls[1].message, "b.ndjson.gz");
  for (const ProgressCall& c : calls) {
    EXPECT_EQ(c.stage, 0);
    EXPECT_EQ(c.total, 2u);
  }
  EXPECT_NE(calls[0].done, calls[1].done);

  // Spilling after every row must not change the merged file.
  std::filesystem::create_directories(dir_ / "spill0");
  auto again = EquivIndex::build(classes, testing::hold(dir_ / "spill0"), 0, nullptr);
  ASSERT_TRUE(again) << again.error().message;
  EXPECT_EQ(read_file(dir_ / "spill0" / "equiv_data.bin"), bytes);
}

TEST_F(EquivIndexTest, ReportsFirstFailureInClassOrder) {
  auto good = file("good.ndjson", "{\"id\":\"A\"}\n");
  auto bad = file("bad.ndjson", "{\"id\":\"A\"}\noops\n");
  auto utf8 = file("utf8.ndjson", "{\"id\":\"A\xFF\"}\n");
  auto progress = std::make_shared<RecordingProgress>();

  std::vector<std::filesystem::path> classes = {good, bad, dir_ / "missing.ndjson", utf8};
  auto index = EquivIndex::build(classes, held_, kDefaultEquivSpillEntries, progress);
  ASSERT_FALSE(index);
  EXPECT_EQ(index.error().message, "expected value at line 1 column 1");
  // Only the file that succeeded reported.
  EXPECT_EQ(progress->calls(), (std::vector<ProgressCall>{{0, 1, 4, "good.ndjson"}}));

  classes = {good, dir_ / "missing.ndjson", bad};
  index = EquivIndex::build(classes, held_, kDefaultEquivSpillEntries, nullptr);
  ASSERT_FALSE(index);
  EXPECT_EQ(index.error().message, "No such file or directory (os error 2)");

  classes = {utf8};
  index = EquivIndex::build(classes, held_, kDefaultEquivSpillEntries, nullptr);
  ASSERT_FALSE(index);
  EXPECT_EQ(index.error().message, "stream did not contain valid UTF-8");
}

// The spill threshold is the stage's own setting, read when it starts:
// runs written before a bad line stay behind and show which one it used.
TEST_F(EquivIndexTest, ReadsItsSpillThresholdWhenItStarts) {
  auto three_then_bad = file("c.ndjson", "{\"id\":\"A\"}\n{\"id\":\"B\"}\n{\"id\":\"C\"}\noops\n");
  const std::vector<std::filesystem::path> classes = {three_then_bad};
  auto runs_left = [&] {
    const auto dir = spill_ / kEquivRunDirName;
    const auto n = std::distance(std::filesystem::directory_iterator(dir), {});
    std::filesystem::remove_all(dir);
    return n;
  };
  ::setenv("CORVANTILE_FULLMAP_EQUIV_SPILL_ENTRIES", "1", 1);
  EXPECT_FALSE(EquivIndex::build(classes, held_, std::nullopt, nullptr));
  EXPECT_EQ(runs_left(), 3);
  ::unsetenv("CORVANTILE_FULLMAP_EQUIV_SPILL_ENTRIES");
  EXPECT_FALSE(EquivIndex::build(classes, held_, std::nullopt, nullptr));
  EXPECT_EQ(runs_left(), 0);
}

TEST_F(EquivIndexTest, ProgressNamesAndMergeCount) {
  std::string big;
  const int keys = 1'000'000;
  big.reserve(keys * 14);
  for (int i = 0; i < keys; ++i) big += "{\"id\":\"" + std::to_string(i) + "\"}\n";
  std::vector<std::filesystem::path> classes = {file("big.ndjson", big), file("empty", " \n\n"),
                                                write_file(dir_ / "n\xFFme.ndjson", "")};
  auto progress = std::make_shared<RecordingProgress>();
  auto index = EquivIndex::build(classes, held_, kDefaultEquivSpillEntries, progress);
  ASSERT_TRUE(index) << index.error().message;
  EXPECT_EQ(index->size(), static_cast<size_t>(keys));

  auto calls = progress->calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls.back(), (ProgressCall{0, 1'000'000, 0, "merging equivalents"}));
  calls.pop_back();
  std::vector<std::string> names;
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].done, i + 1);
    EXPECT_EQ(calls[i].total, 3u);
    names.push_back(calls[i].message);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"big.ndjson", "empty", "n\xEF\xBF\xBDme.ndjson"}));
  EXPECT_TRUE(lookup(*index, "999999").empty());
}

// Entries written by hand, with hashes chosen by the test, so that two keys
// share one hash and damaged entries can be probed.
TEST_F(EquivIndexTest, LookupWalksEqualHashesAndStopsQuietlyOnDamage) {
  const uint64_t h = hash_of("A:1");
  std::string other = str32("Z:9") + le32(1) + str32("zz");
  std::string mine = str32("A:1") + le32(2) + str32("B:2") + str32("C:3");
  std::string bad_key = le32(2) + "\xFF\xFF" + le32(0);
  const HeldDirectory dir = testing::hold(dir_.path());
  auto path = write_file(dir_ / "hand.bin", other + bad_key + mine);
  {
    auto index = EquivIndex::open(dir, "hand.bin", {h, h, h}, {0, other.size() + bad_key.size(), other.size()});
    ASSERT_TRUE(index) << index.error().message;
    // Entry 0 has another key under the same hash and is passed over.
    EXPECT_EQ(lookup(*index, "A:1"), Ids({"B:2", "C:3"}));
    EXPECT_TRUE(lookup(*index, "Z:9").empty());  // its real hash is not h
  }
  EXPECT_FALSE(std::filesystem::exists(path));

  // Damaged key ahead of the match stops the walk.
  path = write_file(dir_ / "hand.bin", other + bad_key + mine);
  {
    auto index = EquivIndex::open(dir, "hand.bin", {h, h, h}, {0, other.size(), other.size() + bad_key.size()});
    ASSERT_TRUE(index);
    EXPECT_TRUE(lookup(*index, "A:1").empty());
  }

  // An identifier cut short: the ones before it are still handed out.
  std::string cut = mine.substr(0, mine.size() - 1);
  path = write_file(dir_ / "hand.bin", cut);
  {
    auto index = EquivIndex::open(dir, "hand.bin", {h}, {0});
    ASSERT_TRUE(index);
    EXPECT_EQ(lookup(*index, "A:1"), Ids({"B:2"}));
  }
  // A key length past the end of the file.
  path = write_file(dir_ / "hand.bin", le32(100) + "A:1");
  {
    auto index = EquivIndex::open(dir, "hand.bin", {h}, {0});
    ASSERT_TRUE(index);
    EXPECT_TRUE(lookup(*index, "A:1").empty());
  }
}

}  // namespace
}  // namespace corv::fullmap
