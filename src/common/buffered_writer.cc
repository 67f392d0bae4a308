#include "common/buffered_writer.h"

#include <utility>

namespace corv {

BufferedWriter::BufferedWriter(FileDescriptor fd, size_t capacity)
    : fd_(std::move(fd)),
      buffer_(std::make_unique_for_overwrite<char[]>(capacity == 0 ? 1 : capacity)),
      capacity_(capacity == 0 ? 1 : capacity) {}

Status BufferedWriter::write_slow(const void* data, size_t size) {
  CORV_TRY(flush());
  if (size >= capacity_) return write_all(fd_.get(), static_cast<const char*>(data), size);
  std::memcpy(buffer_.get(), data, size);
  used_ = size;
  return {};
}

Status BufferedWriter::flush() {
  if (used_ == 0) return {};
  size_t n = used_;
  used_ = 0;
  return write_all(fd_.get(), buffer_.get(), n);
}

Status BufferedWriter::finish() {
  CORV_TRY(flush());
  fd_.reset();
  return {};
}

}  // namespace corv
