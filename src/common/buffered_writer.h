// A file written once from start to end through one buffer of its own. A
// write that does not fit goes straight to the file once the buffer is
// drained. finish() flushes (reporting a failure) and closes (ignoring
// one); dropping an unfinished writer loses the buffered tail.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

#include "common/fd_io.h"
#include "common/status.h"

namespace corv {

class BufferedWriter {
 public:
  BufferedWriter(FileDescriptor fd, size_t capacity);

  BufferedWriter(BufferedWriter&&) noexcept = default;
  BufferedWriter& operator=(BufferedWriter&&) noexcept = default;

  Status write(const void* data, size_t size) {
    if (size <= capacity_ - used_) {
      std::memcpy(buffer_.get() + used_, data, size);
      used_ += size;
      return {};
    }
    return write_slow(data, size);
  }
  Status write(std::string_view bytes) { return write(bytes.data(), bytes.size()); }

  Status flush();
  Status finish();

 private:
  Status write_slow(const void* data, size_t size);

  FileDescriptor fd_;
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  size_t used_ = 0;
};

}  // namespace corv
