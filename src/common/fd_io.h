// Files through their descriptors: the only place that calls the OS for
// them. Every call retries EINTR; failures carry the OS error (Error::io).
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "common/status.h"

namespace corv {

// An owned file descriptor; closing ignores errors.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset() noexcept;

 private:
  int fd_ = -1;
};

// Read-only.
Result<FileDescriptor> open_for_reading(const std::filesystem::path& path);
// openat(2) with O_CLOEXEC added: `path` relative to the directory open at
// `dir` (or to the working directory, AT_FDCWD).
Result<FileDescriptor> open_at(int dir, const std::filesystem::path& path, int flags, mode_t mode = 0);
// `fd` when it is a regular file; otherwise closes it and fails with
// "<shown> is a FIFO, not a regular file" (or a directory, a socket, ...).
Result<FileDescriptor> regular_only(FileDescriptor fd, const std::filesystem::path& shown);
// Read-only, without waiting for a FIFO's writer or taking a terminal, and
// only a regular file: anything else fails at once, saying what it is.
// Through links; relative to the directory `dir` (or the working directory).
Result<FileDescriptor> open_regular_for_reading(const std::filesystem::path& path, int dir = AT_FDCWD);
// Write-only, created or truncated, mode 0666 before the umask.
Result<FileDescriptor> create_for_writing(const std::filesystem::path& path);
// Write-only, created (mode 0666 before the umask) but not truncated, never
// waiting for a FIFO's reader (one without fails with ENXIO) nor taking a
// terminal. Writes then block as usual.
Result<FileDescriptor> open_for_output(const std::filesystem::path& path);
// Empties the file open at `fd` when it is a regular file; anything else
// (a FIFO, a device) is left as it is.
Status truncate_if_regular(int fd);
// Read-write, created with `mode`; nullopt when the name is taken.
Result<std::optional<FileDescriptor>> create_new(const std::filesystem::path& path, mode_t mode);
// Read-write, not through a symbolic link, never created, never waiting
// (for a FIFO's peer) nor taking a terminal; nullopt when nothing is at
// `path`. Relative to the directory `dir` (or the working directory).
Result<std::optional<FileDescriptor>> open_existing_for_update(const std::filesystem::path& path, int dir = AT_FDCWD);

// One read of up to `size` bytes; 0 only at the end of the file.
Result<size_t> read_some(int fd, char* out, size_t size);
// Reads until `size` bytes or the end of the file; returns the count read.
Result<size_t> read_full(int fd, char* out, size_t size);
// Reads from `offset` until `size` bytes or the end of the file, leaving the
// file position alone; returns the count read.
Result<size_t> read_full_at(int fd, uint64_t offset, char* out, size_t size);
// Writes all of `data` to `fd`, retrying short writes.
Status write_all(int fd, const char* data, size_t size);

enum class LockMode { kShared, kExclusive };

// Takes an flock without waiting: false when another descriptor holds a
// conflicting one.
Result<bool> try_lock(int fd, LockMode mode);
// Keeps `fd` from passing to programs this process starts, for descriptors
// that a library opened without O_CLOEXEC.
Status set_close_on_exec(int fd);

// Drops the flock. Closing does that only once every copy of the
// descriptor is closed, and a forked child holds copies.
void unlock(int fd) noexcept;

// Whole-file locks that belong to the open file description (fcntl, not
// flock): an exclusive one needs a descriptor open for writing, so whoever
// may only read a file can never hold one that refuses others. false when
// another description holds a conflicting one.
Result<bool> try_lock_file(int fd, LockMode mode);

// Byte-range locks that belong to the open file description: they conflict
// between descriptors of one process as between processes, and end with
// the last descriptor. Exclusive; the descriptor must be open for writing.
// false when another description holds the byte.
Result<bool> try_lock_byte(int fd, uint64_t offset);
// Drops every byte-range lock of the description.
void unlock_bytes(int fd) noexcept;

// What names a file on this machine, its size and kind.
struct FileInfo {
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint64_t size = 0;
  bool is_directory = false;

  bool same_file(const FileInfo& other) const { return dev == other.dev && ino == other.ino; }
};

Result<FileInfo> file_info(int fd);
// Follows symbolic links.
Result<FileInfo> file_info(const std::filesystem::path& path);
// file_info(), or nullopt when nothing is at `path` (ENOENT).
Result<std::optional<FileInfo>> find_file(const std::filesystem::path& path);
// Whether `path` (through symbolic links) still names the file open at `fd`.
bool names_file(const std::filesystem::path& path, int fd);

// The name under /proc that opens the very file open at `fd`, whatever has
// taken its own name since.
std::string proc_fd_path(int fd);
// proc_fd_path(fd) where /proc is mounted and lets us read through it;
// nullopt otherwise.
std::optional<std::string> readable_proc_fd_path(int fd);

}  // namespace corv
