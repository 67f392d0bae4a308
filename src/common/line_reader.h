// Buffered line splitting over a ByteReader. Lines end after an LF; the
// last one may have none. Bytes are passed on unchecked: what a line must
// hold is the caller's rule.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/byte_reader.h"
#include "common/status.h"

namespace corv {

class LineReader {
 public:
  static constexpr size_t kBufferBytes = 8192;

  explicit LineReader(std::unique_ptr<ByteReader> source);

  // The next line with its LF, if it has one; nullopt when the input is
  // exhausted. A line that lies within one fill of the buffer is a view of
  // it, any other is gathered; either is valid until the next call.
  Result<std::optional<std::string_view>> next() { return next_gathering_in(long_line_); }

  // Replaces `line` with the next line, LF included. Returns the line's
  // length: 0 means the input is exhausted.
  Result<size_t> read_line(std::string& line);

 private:
  // next(), gathering a line that spans fills in `gathered`.
  Result<std::optional<std::string_view>> next_gathering_in(std::string& gathered);

  std::unique_ptr<ByteReader> source_;
  std::unique_ptr<char[]> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool at_end_ = false;
  std::string long_line_;
};

}  // namespace corv
