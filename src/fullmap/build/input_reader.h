// Input files of a build, plain or gzip-compressed, as a stream of bytes.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>

#include "common/status.h"

namespace corv::fullmap {

class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // Reads up to n bytes into buf. Returns 0 only at the end of the input
  // (or when n is 0). Decoding faults of compressed input are errors here.
  virtual Result<size_t> read(char* buf, size_t n) = 0;
};

// Opens `path` for reading. A last component whose extension is exactly
// "gz" (case-sensitive) is decoded as gzip, first member only; anything else
// is read as it is. Fails only when the file cannot be opened.
Result<std::unique_ptr<ByteReader>> open_reader(const std::filesystem::path& path);

}  // namespace corv::fullmap
