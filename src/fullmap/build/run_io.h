// Buffered binary I/O for the build's spill files. Both sides talk to the
// descriptor directly through one large buffer of their own; stdio's small
// buffers would dominate the cost of multi-gigabyte spills.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/buffered_writer.h"
#include "common/fd_io.h"
#include "common/held_directory.h"
#include "common/status.h"
#include "common/utf8.h"

namespace corv::fullmap {

inline constexpr size_t kRunWriteBufferBytes = size_t{8} << 20;
inline constexpr size_t kTermRunReadBufferBytes = size_t{1} << 20;
inline constexpr size_t kCurieRunReadBufferBytes = size_t{1} << 20;
inline constexpr size_t kEquivRunReadBufferBytes = size_t{8} << 20;

// The text of a read that ended inside a frame.
inline constexpr std::string_view kUnexpectedEofMessage = "failed to fill whole buffer";
// The text of an input line that is not UTF-8 (a run frame's string carries
// its decoding error instead, utf8_error()).
inline constexpr std::string_view kInvalidUtf8Message = "stream did not contain valid UTF-8";

// A run file: the entry `name` of `dir`, created or truncated (never through
// a link), mode 0666 before the umask, and written with the frame fields
// below.
class RunWriter : public BufferedWriter {
 public:
  static Result<RunWriter> create(const HeldDirectory& dir, const std::string& name,
                                  size_t buffer_bytes = kRunWriteBufferBytes);

  using BufferedWriter::write;
  Status write_u8(uint8_t v) { return write(&v, 1); }
  Status write_u32(uint32_t v) {
    unsigned char b[4];
    store_le(b, v, 4);
    return write(b, 4);
  }
  Status write_u64(uint64_t v) {
    unsigned char b[8];
    store_le(b, v, 8);
    return write(b, 8);
  }
  // A u32 byte length and the bytes; longer than u32 allows is an error
  // rather than a silently wrapped length.
  Status write_str32(std::string_view bytes);

 private:
  RunWriter(FileDescriptor fd, size_t capacity) : BufferedWriter(std::move(fd), capacity) {}
  static void store_le(unsigned char* out, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(v >> (8 * i));
  }
};

// Forward-only buffered reader of one file. Reads that stop inside the
// requested bytes fail with kUnexpectedEofMessage.
class RunInput {
 public:
  // The regular file `name` of `dir`, not through a link.
  static Result<RunInput> open(const HeldDirectory& dir, const std::string& name, size_t buffer_bytes);
  RunInput(FileDescriptor fd, size_t buffer_bytes);

  RunInput(RunInput&&) noexcept = default;
  RunInput& operator=(RunInput&&) noexcept = default;

  // True when the file has no byte left; consumes nothing.
  Result<bool> at_end();
  // One byte, or false at the end of the file.
  Result<bool> read_byte(uint8_t& out);
  Status read_exact(void* out, size_t size) {
    if (size <= end_ - pos_) {
      std::memcpy(out, buffer_.get() + pos_, size);
      pos_ += size;
      return {};
    }
    return read_exact_slow(out, size);
  }
  // Replaces `out` with the next `size` bytes. Grows `out` as the bytes
  // arrive, so a corrupt length cannot reserve memory the file never fills.
  Status read_string(size_t size, std::string& out);
  Result<uint32_t> read_u32();
  Result<uint64_t> read_u64();
  // The u32 that opens a frame, or nullopt at a clean end of the file.
  Result<std::optional<uint32_t>> read_leading_u32();
  // Skips up to `size` bytes; reaching the end of the file is not an error.
  Status skip(uint64_t size);

 private:
  Status read_exact_slow(void* out, size_t size);
  // Refills an exhausted buffer; false at the end of the file.
  Result<bool> refill();

  FileDescriptor fd_;
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  size_t pos_ = 0;
  size_t end_ = 0;
};

}  // namespace corv::fullmap
