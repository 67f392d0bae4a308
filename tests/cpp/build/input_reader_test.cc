#include "fullmap/build/input_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "build/ingest_test_util.h"
#include "common/line_reader.h"
#include "scratch_dir.h"

namespace corv::fullmap {
namespace {

namespace fs = std::filesystem;
using testing::gzip;

class InputReaderTest : public ::testing::Test {
 protected:
  fs::path write(const std::string& name, const std::string& bytes) { return testing::write_file(dir_ / name, bytes); }

  corv::testing::ScratchDir dir_;
};

// Poorly compressible lines, so the compressed form spans several input buffers.
std::string noisy_lines(size_t bytes) {
  std::mt19937_64 rng(42);
  std::string out;
  while (out.size() < bytes) {
    const size_t len = rng() % 120;
    for (size_t i = 0; i < len; ++i) out.push_back(static_cast<char>(' ' + rng() % 95));
    out.push_back('\n');
  }
  return out;
}

// Reads everything with reads of `step` bytes; the error text on failure.
Result<std::string> read_all(ByteReader& reader, size_t step = 5000) {
  std::string out;
  std::string buf(step, '\0');
  for (;;) {
    auto got = reader.read(buf.data(), buf.size());
    if (!got) return fail(got.error());
    if (*got == 0) return out;
    out.append(buf.data(), *got);
  }
}

Result<std::string> read_path(const fs::path& path, size_t step = 5000) {
  auto reader = open_reader(path);
  if (!reader) return fail(reader.error());
  return read_all(**reader, step);
}

TEST_F(InputReaderTest, ReadsPlainAndGzipFiles) {
  const std::string text = noisy_lines(300000);
  EXPECT_EQ(read_path(write("plain.ndjson", text)).value(), text);
  const std::string packed = gzip(text);
  ASSERT_GT(packed.size(), 3u * 32768);
  EXPECT_EQ(read_path(write("packed.ndjson.gz", packed)).value(), text);
  // Tiny reads must not lose bytes between inflate calls.
  EXPECT_EQ(read_path(dir_ / "packed.ndjson.gz", 7).value(), text);
  EXPECT_EQ(read_path(write("empty-member.gz", gzip(""))).value(), "");
}

TEST_F(InputReaderTest, DecodesOnlyTheFirstGzipMember) {
  const std::string both = gzip("first\n") + gzip("second\n");
  EXPECT_EQ(read_path(write("two.gz", both)).value(), "first\n");
  EXPECT_EQ(read_path(write("trailing.gz", gzip("first\n") + "garbage")).value(), "first\n");
}

TEST_F(InputReaderTest, OnlyAnExactGzExtensionMeansGzip) {
  const std::string packed = gzip("hello\n");
  EXPECT_EQ(read_path(write("x.GZ", packed)).value(), packed);
  EXPECT_EQ(read_path(write(".gz", packed)).value(), packed);
  EXPECT_EQ(read_path(write("x.gz.txt", packed)).value(), packed);
  EXPECT_EQ(read_path(write("x.tar.gz", packed)).value(), "hello\n");
  EXPECT_EQ(read_path(write("..gz", packed)).value(), "hello\n");
}

TEST_F(InputReaderTest, DamagedGzipIsAReadError) {
  const std::string packed = gzip(noisy_lines(100000));

  auto truncated = read_path(write("cut.gz", packed.substr(0, packed.size() / 2)));
  ASSERT_FALSE(truncated);
  EXPECT_EQ(truncated.error().message, "unexpected end of gzip stream");
  // Cut inside the trailer: all data is there but the checksum is not.
  auto no_trailer = read_path(write("cut-trailer.gz", packed.substr(0, packed.size() - 3)));
  ASSERT_FALSE(no_trailer);
  EXPECT_EQ(no_trailer.error().message, "unexpected end of gzip stream");
  auto empty = read_path(write("empty.gz", ""));
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().message, "unexpected end of gzip stream");

  auto not_gzip = read_path(write("plain.gz", "{\"id\": 1}\n"));
  ASSERT_FALSE(not_gzip);
  EXPECT_EQ(not_gzip.error().message.rfind("invalid gzip header", 0), 0u) << not_gzip.error().message;

  std::string flipped = packed;
  flipped[flipped.size() - 6] ^= 0x55;  // inside the CRC-32
  auto bad_crc = read_path(write("crc.gz", flipped));
  ASSERT_FALSE(bad_crc);
  EXPECT_EQ(bad_crc.error().message.rfind("corrupt deflate stream", 0), 0u) << bad_crc.error().message;

  // A failed reader keeps failing instead of reporting a clean end.
  auto reader = open_reader(dir_ / "cut.gz");
  ASSERT_TRUE(reader);
  auto first = read_all(**reader);
  ASSERT_FALSE(first);
  char byte;
  EXPECT_FALSE((*reader)->read(&byte, 1));
}

TEST_F(InputReaderTest, OpenFailuresCarryTheSystemText) {
  auto missing = open_reader(dir_ / "missing.ndjson");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "No such file or directory (os error 2)");

  auto directory = read_path(dir_.path());
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().message, "Is a directory (os error 21)");
}

TEST_F(InputReaderTest, LineReaderSplitsAtLineFeeds) {
  const std::string long_line(20000, 'x');
  const std::string text = "a\n\n" + long_line + "\nb\r\n\r\nlast";
  auto reader = open_reader(write("lines.gz", gzip(text)));
  ASSERT_TRUE(reader);
  LineReader lines(std::move(*reader));
  std::string line = "stale";
  std::vector<std::string> got;
  for (;;) {
    auto n = lines.read_line(line);
    ASSERT_TRUE(n);
    ASSERT_EQ(*n, line.size());
    if (*n == 0) break;
    got.push_back(line);
  }
  EXPECT_EQ(got, (std::vector<std::string>{"a\n", "\n", long_line + "\n", "b\r\n", "\r\n", "last"}));
  EXPECT_EQ(lines.read_line(line).value(), 0u);
}

TEST_F(InputReaderTest, LineReaderPassesOnReadErrors) {
  const std::string packed = gzip(noisy_lines(100000));
  auto reader = open_reader(write("cut.gz", packed.substr(0, packed.size() / 2)));
  ASSERT_TRUE(reader);
  LineReader lines(std::move(*reader));
  std::string line;
  Result<size_t> n;
  while ((n = lines.read_line(line)) && *n > 0) {
  }
  ASSERT_FALSE(n);
  EXPECT_EQ(n.error().message, "unexpected end of gzip stream");
}

}  // namespace
}  // namespace corv::fullmap
