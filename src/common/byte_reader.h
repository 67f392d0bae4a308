// A stream of bytes read front to back: a file, or a decoder over one.
#pragma once

#include <cstddef>
#include <utility>

#include "common/fd_io.h"
#include "common/status.h"

namespace corv {

class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // Reads up to n bytes into buf. Returns 0 only at the end of the input
  // (or when n is 0). Decoding faults of compressed input are errors here.
  virtual Result<size_t> read(char* buf, size_t n) = 0;
};

// A file's bytes as they are.
class FileReader final : public ByteReader {
 public:
  explicit FileReader(FileDescriptor fd) : fd_(std::move(fd)) {}
  Result<size_t> read(char* buf, size_t n) override { return read_some(fd_.get(), buf, n); }

 private:
  FileDescriptor fd_;
};

}  // namespace corv
