// Buffered line splitting over a ByteReader, for the JSON-lines inputs.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "common/status.h"
#include "fullmap/build/input_reader.h"

namespace corv::fullmap {

class LineReader {
 public:
  static constexpr size_t kBufferBytes = 8192;

  explicit LineReader(std::unique_ptr<ByteReader> source);

  // Replaces `line` with the bytes up to and including the next LF, or with
  // the rest of the input when no LF is left. Returns the line's length:
  // 0 means the input is exhausted. Bytes are passed on unchecked.
  Result<size_t> read_line(std::string& line);

 private:
  Status refill();

  std::unique_ptr<ByteReader> source_;
  std::unique_ptr<char[]> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
};

}  // namespace corv::fullmap
