#include "fullmap/build/run_io.h"

#include <unistd.h>

#include <algorithm>
#include <limits>
#include <string>

#include "common/fd_io.h"

namespace corv::fullmap {
namespace {

std::unexpected<Error> unexpected_eof() { return fail_runtime(std::string(kUnexpectedEofMessage)); }

}  // namespace

// ---- RunWriter ----

Result<RunWriter> RunWriter::create(const HeldDirectory& dir, const std::string& name, size_t buffer_bytes) {
  auto fd = dir.create_file(name);
  if (!fd) return fail(std::move(fd.error()));
  return RunWriter(std::move(*fd), buffer_bytes);
}

Status RunWriter::write_str32(std::string_view bytes) {
  if (bytes.size() > std::numeric_limits<uint32_t>::max()) {
    return fail_runtime("string of " + std::to_string(bytes.size()) + " bytes is too long for a run frame");
  }
  CORV_TRY(write_u32(static_cast<uint32_t>(bytes.size())));
  return write(bytes);
}

// ---- RunInput ----

RunInput::RunInput(FileDescriptor fd, size_t buffer_bytes)
    : fd_(std::move(fd)),
      buffer_(std::make_unique_for_overwrite<char[]>(buffer_bytes == 0 ? 1 : buffer_bytes)),
      capacity_(buffer_bytes == 0 ? 1 : buffer_bytes) {}

Result<RunInput> RunInput::open(const HeldDirectory& dir, const std::string& name, size_t buffer_bytes) {
  auto fd = dir.open_file(name);
  if (!fd) return std::unexpected(std::move(fd.error()));
  return RunInput(std::move(*fd), buffer_bytes);
}

Result<bool> RunInput::refill() {
  pos_ = 0;
  end_ = 0;
  auto got = read_some(fd_.get(), buffer_.get(), capacity_);
  if (!got) return fail(std::move(got.error()));
  end_ = *got;
  return end_ > 0;
}

Result<bool> RunInput::at_end() {
  if (pos_ < end_) return false;
  auto more = refill();
  if (!more) return std::unexpected(std::move(more.error()));
  return !*more;
}

Result<std::optional<uint32_t>> RunInput::read_leading_u32() {
  auto end = at_end();
  if (!end) return std::unexpected(std::move(end.error()));
  if (*end) return std::nullopt;
  auto value = read_u32();
  if (!value) return std::unexpected(std::move(value.error()));
  return *value;
}

Result<bool> RunInput::read_byte(uint8_t& out) {
  if (pos_ == end_) {
    auto more = refill();
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) return false;
  }
  out = static_cast<uint8_t>(buffer_[pos_++]);
  return true;
}

Status RunInput::read_exact_slow(void* out, size_t size) {
  char* dst = static_cast<char*>(out);
  size_t have = end_ - pos_;
  std::memcpy(dst, buffer_.get() + pos_, have);
  dst += have;
  size -= have;
  pos_ = end_;
  if (size >= capacity_) {
    // Large reads bypass the buffer.
    auto got = read_full(fd_.get(), dst, size);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got < size) return unexpected_eof();
    return {};
  }
  while (size > 0) {
    auto more = refill();
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) return unexpected_eof();
    size_t take = std::min(size, end_);
    std::memcpy(dst, buffer_.get(), take);
    pos_ = take;
    dst += take;
    size -= take;
  }
  return {};
}

Status RunInput::read_string(size_t size, std::string& out) {
  constexpr size_t kSlice = size_t{1} << 20;
  out.clear();
  if (size <= kSlice) {
    out.resize(size);
    return read_exact(out.data(), size);
  }
  while (out.size() < size) {
    size_t done = out.size();
    size_t take = std::min(size - done, std::max(kSlice, done));
    out.resize(done + take);
    CORV_TRY(read_exact(out.data() + done, take));
  }
  return {};
}

Result<uint32_t> RunInput::read_u32() {
  unsigned char b[4];
  CORV_TRY(read_exact(b, 4));
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

Result<uint64_t> RunInput::read_u64() {
  unsigned char b[8];
  CORV_TRY(read_exact(b, 8));
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | b[i];
  return v;
}

Status RunInput::skip(uint64_t size) {
  for (;;) {
    size_t have = end_ - pos_;
    if (size <= have) {
      pos_ += static_cast<size_t>(size);
      return {};
    }
    size -= have;
    pos_ = end_;
    if (size > capacity_) {
      // Seek past whole buffers; a regular file may be shorter than the
      // target, which the next read reports as the end.
      uint64_t whole = size - size % capacity_;
      if (::lseek(fd_.get(), static_cast<off_t>(whole), SEEK_CUR) >= 0) size -= whole;
    }
    auto more = refill();
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) return {};
  }
}

}  // namespace corv::fullmap
