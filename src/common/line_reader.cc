#include "common/line_reader.h"

#include <cstring>
#include <utility>

namespace corv {

LineReader::LineReader(std::unique_ptr<ByteReader> source)
    : source_(std::move(source)), buffer_(std::make_unique_for_overwrite<char[]>(kBufferBytes)) {}

Result<std::optional<std::string_view>> LineReader::next_gathering_in(std::string& gathered) {
  bool gathering = false;
  for (;;) {
    if (pos_ == end_) {
      if (at_end_) return gathering ? std::optional<std::string_view>(gathered) : std::nullopt;
      auto got = source_->read(buffer_.get(), kBufferBytes);
      if (!got) return fail(std::move(got.error()));
      pos_ = 0;
      end_ = *got;
      at_end_ = end_ == 0;
      continue;
    }
    const char* start = buffer_.get() + pos_;
    const size_t available = end_ - pos_;
    const void* lf = std::memchr(start, '\n', available);
    if (lf != nullptr) {
      const size_t take = static_cast<size_t>(static_cast<const char*>(lf) - start) + 1;
      pos_ += take;
      if (!gathering) return std::string_view(start, take);
      gathered.append(start, take);
      return std::string_view(gathered);
    }
    if (!gathering) {
      gathered.clear();
      gathering = true;
    }
    gathered.append(start, available);
    pos_ = end_;
  }
}

Result<size_t> LineReader::read_line(std::string& line) {
  auto got = next_gathering_in(line);
  if (!got) return fail(std::move(got.error()));
  if (!*got) {
    line.clear();
  } else if ((*got)->data() != line.data()) {
    line.assign(**got);
  }
  return line.size();
}

}  // namespace corv
