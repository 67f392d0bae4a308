#include "common/line_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace corv {
namespace {

// Hands out `text` in reads of the sizes given, cycling through them.
class ChoppyReader final : public ByteReader {
 public:
  ChoppyReader(std::string text, std::vector<size_t> sizes) : text_(std::move(text)), sizes_(std::move(sizes)) {}
  Result<size_t> read(char* buf, size_t n) override {
    const size_t take = std::min({n, sizes_[reads_++ % sizes_.size()], text_.size() - pos_});
    std::memcpy(buf, text_.data() + pos_, take);
    pos_ += take;
    return take;
  }

 private:
  std::string text_;
  std::vector<size_t> sizes_;
  size_t pos_ = 0;
  size_t reads_ = 0;
};

TEST(LineReader, LinesSurviveEveryWayTheReadsCutThem) {
  // Lengths around the buffer size put the LF at its last byte, at the first
  // byte of the next fill, and one past; the last line has no LF.
  std::vector<std::string> lines;
  for (size_t length : {size_t{0}, size_t{1}, LineReader::kBufferBytes - 2, LineReader::kBufferBytes - 1,
                        LineReader::kBufferBytes, LineReader::kBufferBytes + 1, size_t{0}, size_t{20000}}) {
    lines.push_back(std::string(length, static_cast<char>('a' + lines.size())) + "\n");
  }
  lines.push_back("\r\n");
  lines.push_back("last\r");
  std::string text;
  for (const auto& line : lines) text += line;

  for (const std::vector<size_t>& sizes : std::vector<std::vector<size_t>>{{8192}, {1}, {3, 8191, 1, 5000}}) {
    LineReader views(std::make_unique<ChoppyReader>(text, sizes));
    LineReader copies(std::make_unique<ChoppyReader>(text, sizes));
    std::string copy = "stale";
    for (const auto& want : lines) {
      auto view = views.next();
      ASSERT_TRUE(view && *view);
      EXPECT_EQ(**view, want) << "read sizes starting " << sizes[0];
      ASSERT_EQ(copies.read_line(copy).value(), want.size());
      EXPECT_EQ(copy, want);
    }
    for (int again = 0; again < 2; ++again) {
      EXPECT_EQ(views.next().value(), std::nullopt);
      EXPECT_EQ(copies.read_line(copy).value(), 0u);
      EXPECT_EQ(copy, "");
    }
  }
}

}  // namespace
}  // namespace corv
