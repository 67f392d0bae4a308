#include "common/fd_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <limits>
#include <string>

namespace corv {
namespace {

// The descriptor, or -1 with errno set.
int open_retrying(const std::filesystem::path& path, int flags, mode_t mode, int dir = AT_FDCWD) {
  int fd;
  do {
    fd = ::openat(dir, path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

Result<FileDescriptor> open_or_fail(const std::filesystem::path& path, int flags, mode_t mode) {
  return open_at(AT_FDCWD, path, flags, mode);
}

FileInfo info_of(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_size),
          S_ISDIR(st.st_mode)};
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

void FileDescriptor::reset() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Result<FileDescriptor> open_for_reading(const std::filesystem::path& path) { return open_or_fail(path, O_RDONLY, 0); }

Result<FileDescriptor> open_at(int dir, const std::filesystem::path& path, int flags, mode_t mode) {
  const int fd = open_retrying(path, flags, mode, dir);
  if (fd < 0) return fail_io(errno);
  return FileDescriptor(fd);
}

Result<FileDescriptor> regular_only(FileDescriptor fd, const std::filesystem::path& shown) {
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return fail_io(errno);
  if (S_ISREG(st.st_mode)) return fd;
  const char* kind = S_ISDIR(st.st_mode)    ? "a directory"
                     : S_ISFIFO(st.st_mode) ? "a FIFO"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                     : S_ISCHR(st.st_mode)  ? "a character device"
                     : S_ISBLK(st.st_mode)  ? "a block device"
                                            : nullptr;
  if (kind == nullptr) return fail_runtime(shown.string() + " is not a regular file");
  return fail_runtime(shown.string() + " is " + kind + ", not a regular file");
}

Result<FileDescriptor> open_regular_for_reading(const std::filesystem::path& path, int dir) {
  auto fd = open_at(dir, path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (!fd) return fd;
  return regular_only(std::move(*fd), path);
}

Result<FileDescriptor> create_for_writing(const std::filesystem::path& path) {
  return open_or_fail(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
}

Result<FileDescriptor> open_for_output(const std::filesystem::path& path) {
  auto fd = open_or_fail(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY, 0666);
  if (!fd) return fd;
  // Only the open must not wait; a slow reader of a pipe is waited for.
  const int flags = ::fcntl(fd->get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd->get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return fail_io(errno);
  return fd;
}

Status truncate_if_regular(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail_io(errno);
  if (!S_ISREG(st.st_mode)) return {};
  int rc;
  do {
    rc = ::ftruncate(fd, 0);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return fail_io(errno);
  return {};
}

Result<std::optional<FileDescriptor>> create_new(const std::filesystem::path& path, mode_t mode) {
  const int fd = open_retrying(path, O_RDWR | O_CREAT | O_EXCL, mode);
  if (fd >= 0) return FileDescriptor(fd);
  if (errno == EEXIST) return std::nullopt;
  return fail_io(errno);
}

Result<std::optional<FileDescriptor>> open_existing_for_update(const std::filesystem::path& path, int dir) {
  const int fd = open_retrying(path, O_RDWR | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0, dir);
  if (fd >= 0) return FileDescriptor(fd);
  if (errno == ENOENT) return std::nullopt;
  return fail_io(errno);
}

Result<size_t> read_some(int fd, char* out, size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, out, std::min<size_t>(size, SSIZE_MAX));
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return fail_io(errno);
  }
}

Result<size_t> read_full(int fd, char* out, size_t size) {
  size_t total = 0;
  while (total < size) {
    auto n = read_some(fd, out + total, size - total);
    if (!n) return n;
    if (*n == 0) break;
    total += *n;
  }
  return total;
}

Result<size_t> read_full_at(int fd, uint64_t offset, char* out, size_t size) {
  size_t total = 0;
  while (total < size) {
    const ssize_t n =
        ::pread(fd, out + total, std::min<size_t>(size - total, SSIZE_MAX), static_cast<off_t>(offset + total));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_io(errno);
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  return total;
}

Status write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, std::min<size_t>(size, SSIZE_MAX));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_io(errno);
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return {};
}

Result<bool> try_lock(int fd, LockMode mode) {
  const int op = (mode == LockMode::kShared ? LOCK_SH : LOCK_EX) | LOCK_NB;
  for (;;) {
    if (::flock(fd, op) == 0) return true;
    if (errno == EWOULDBLOCK) return false;
    if (errno != EINTR) return fail_io(errno);
  }
}

void unlock(int fd) noexcept { ::flock(fd, LOCK_UN); }

Status set_close_on_exec(int fd) {
  // FD_CLOEXEC is the only descriptor flag there is.
  if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return fail_io(errno);
  return {};
}

namespace {

int set_byte_lock(int fd, short type, off_t start, off_t length) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = length;
  int rc;
  do {
    rc = ::fcntl(fd, F_OFD_SETLK, &lock);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

}  // namespace

Result<bool> try_lock_file(int fd, LockMode mode) {
  if (set_byte_lock(fd, mode == LockMode::kShared ? F_RDLCK : F_WRLCK, 0, 0) == 0) return true;
  if (errno == EAGAIN || errno == EACCES) return false;
  return fail_io(errno);
}

Result<bool> try_lock_byte(int fd, uint64_t offset) {
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return fail_io(EINVAL);
  if (set_byte_lock(fd, F_WRLCK, static_cast<off_t>(offset), 1) == 0) return true;
  if (errno == EAGAIN || errno == EACCES) return false;
  return fail_io(errno);
}

void unlock_bytes(int fd) noexcept { set_byte_lock(fd, F_UNLCK, 0, 0); }

Result<FileInfo> file_info(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail_io(errno);
  return info_of(st);
}

Result<FileInfo> file_info(const std::filesystem::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return fail_io(errno);
  return info_of(st);
}

Result<std::optional<FileInfo>> find_file(const std::filesystem::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return info_of(st);
  if (errno == ENOENT) return std::nullopt;
  return fail_io(errno);
}

std::string proc_fd_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

std::optional<std::string> readable_proc_fd_path(int fd) {
  std::string path = proc_fd_path(fd);
  if (::access(path.c_str(), R_OK) != 0) return std::nullopt;
  return path;
}

bool names_file(const std::filesystem::path& path, int fd) {
  auto at_path = file_info(path);
  auto at_fd = file_info(fd);
  return at_path && at_fd && at_path->same_file(*at_fd);
}

}  // namespace corv
