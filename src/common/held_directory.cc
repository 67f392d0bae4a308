#include "common/held_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace corv {
namespace {

// The descriptor, or -1 with errno set.
int openat_retrying(int dir, const char* name, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::openat(dir, name, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

EntryInfo entry_of(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), st.st_uid, st.st_mode,
          static_cast<uint64_t>(st.st_size)};
}

// Closes `fd` when it is not a regular file, which a build never makes
// itself in a directory it holds.
Result<FileDescriptor> regular_only(FileDescriptor fd, const std::filesystem::path& shown) {
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return fail_io(errno);
  if (!S_ISREG(st.st_mode)) return fail(not_a_regular_file(shown, st.st_mode));
  return fd;
}

}  // namespace

bool EntryInfo::is_directory() const { return S_ISDIR(mode); }
bool EntryInfo::is_regular() const { return S_ISREG(mode); }
bool EntryInfo::is_symlink() const { return S_ISLNK(mode); }

Result<HeldDirectory> HeldDirectory::open(const std::filesystem::path& path) {
  int fd = openat_retrying(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_NONBLOCK, 0);
  // A directory one may enter and write but not list (-wx) still serves for
  // everything but names().
  if (fd < 0 && errno == EACCES) fd = openat_retrying(AT_FDCWD, path.c_str(), O_PATH | O_DIRECTORY, 0);
  if (fd < 0) return fail_io(errno);
  return HeldDirectory(FileDescriptor(fd), path);
}

Result<HeldDirectory> HeldDirectory::reopen() const {
  const int fd = openat_retrying(fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_NOCTTY | O_NONBLOCK, 0);
  if (fd < 0) return fail_io(errno);
  return HeldDirectory(FileDescriptor(fd), path_);
}

Result<EntryInfo> HeldDirectory::info() const {
  struct stat st;
  if (::fstat(fd_.get(), &st) != 0) return fail_io(errno);
  return entry_of(st);
}

Result<std::optional<EntryInfo>> HeldDirectory::entry(const std::string& name) const {
  struct stat st;
  if (::fstatat(fd_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return entry_of(st);
  if (errno == ENOENT) return std::nullopt;
  return fail_io(errno);
}

Result<std::vector<std::string>> HeldDirectory::names() const {
  // A description of its own, so listing never moves another reader's place.
  const int fd = openat_retrying(fd_.get(), ".", O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return fail_io(errno);
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int err = errno;
    ::close(fd);
    return fail_io(err);
  }
  std::vector<std::string> out;
  int err = 0;
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(dir);
    if (e == nullptr) {
      err = errno;
      break;
    }
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    out.emplace_back(e->d_name);
  }
  ::closedir(dir);
  if (err != 0) return fail_io(err);
  return out;
}

Result<FileDescriptor> HeldDirectory::open_file(const std::string& name) const {
  const int fd = openat_retrying(fd_.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0);
  if (fd < 0) return fail_io(errno);
  return regular_only(FileDescriptor(fd), display(name));
}

Result<FileDescriptor> HeldDirectory::create_file(const std::string& name, mode_t mode) const {
  const int fd =
      openat_retrying(fd_.get(), name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, mode);
  if (fd < 0) return fail_io(errno);
  return regular_only(FileDescriptor(fd), display(name));
}

Result<std::optional<FileDescriptor>> HeldDirectory::create_new(const std::string& name, mode_t mode) const {
  const int fd = openat_retrying(fd_.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
  if (fd >= 0) return FileDescriptor(fd);
  if (errno == EEXIST) return std::nullopt;
  return fail_io(errno);
}

Result<HeldDirectory> HeldDirectory::open_directory(const std::string& name) const {
  const int fd =
      openat_retrying(fd_.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0);
  if (fd < 0) return fail_io(errno);
  return HeldDirectory(FileDescriptor(fd), display(name));
}

Result<bool> HeldDirectory::make_directory(const std::string& name, mode_t mode) const {
  if (::mkdirat(fd_.get(), name.c_str(), mode) == 0) return true;
  if (errno == EEXIST) return false;
  return fail_io(errno);
}

Status HeldDirectory::remove_file(const std::string& name) const {
  if (::unlinkat(fd_.get(), name.c_str(), 0) != 0) return fail_io(errno);
  return {};
}

Status HeldDirectory::remove_directory(const std::string& name) const {
  if (::unlinkat(fd_.get(), name.c_str(), AT_REMOVEDIR) != 0) return fail_io(errno);
  return {};
}

Status HeldDirectory::remove_all(const std::string& name) const {
  auto found = entry(name);
  if (!found) return fail(std::move(found.error()));
  if (!*found) return {};
  if (!(*found)->is_directory()) return remove_file(name);
  auto sub = open_directory(name);
  if (!sub) return fail(std::move(sub.error()));
  CORV_TRY(sub->clear());
  return remove_directory(name);
}

Status HeldDirectory::clear() const {
  auto entries = names();
  if (!entries) return fail(std::move(entries.error()));
  for (const auto& name : *entries) CORV_TRY(remove_all(name));
  return {};
}

Status HeldDirectory::rename(const std::string& from, const std::string& to) const {
  if (::renameat(fd_.get(), from.c_str(), fd_.get(), to.c_str()) != 0) return fail_io(errno);
  return {};
}

bool HeldDirectory::holds(const std::string& name, const HeldDirectory& held) const {
  auto at_name = entry(name);
  auto own = held.info();
  return at_name && *at_name && own && (*at_name)->is_directory() && (*at_name)->dev == own->dev &&
         (*at_name)->ino == own->ino;
}

}  // namespace corv
