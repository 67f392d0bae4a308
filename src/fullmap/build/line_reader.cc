#include "fullmap/build/line_reader.h"

#include <cstring>
#include <utility>

namespace corv::fullmap {

LineReader::LineReader(std::unique_ptr<ByteReader> source)
    : source_(std::move(source)), buffer_(new char[kBufferBytes]) {}

Status LineReader::refill() {
  auto got = source_->read(buffer_.get(), kBufferBytes);
  if (!got) return fail(std::move(got.error()));
  pos_ = 0;
  end_ = *got;
  return {};
}

Result<size_t> LineReader::read_line(std::string& line) {
  line.clear();
  for (;;) {
    if (pos_ == end_) {
      CORV_TRY(refill());
      if (end_ == 0) return line.size();
    }
    const char* start = buffer_.get() + pos_;
    const size_t available = end_ - pos_;
    const void* lf = std::memchr(start, '\n', available);
    if (lf != nullptr) {
      const size_t take = static_cast<const char*>(lf) - start + 1;
      line.append(start, take);
      pos_ += take;
      return line.size();
    }
    line.append(start, available);
    pos_ = end_;
  }
}

}  // namespace corv::fullmap
