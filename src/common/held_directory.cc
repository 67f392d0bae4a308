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

EntryInfo entry_of(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), st.st_uid, st.st_mode,
          static_cast<uint64_t>(st.st_size)};
}

}  // namespace

bool EntryInfo::is_directory() const { return S_ISDIR(mode); }
bool EntryInfo::is_regular() const { return S_ISREG(mode); }
bool EntryInfo::is_symlink() const { return S_ISLNK(mode); }

Result<HeldDirectory> HeldDirectory::open(const std::filesystem::path& path) {
  auto fd = open_at(AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_NOCTTY | O_NONBLOCK);
  // A directory one may enter and write but not list (-wx) still serves for
  // everything but names().
  if (!fd && fd.error().os_error == EACCES) fd = open_at(AT_FDCWD, path, O_PATH | O_DIRECTORY);
  if (!fd) return fail(std::move(fd.error()));
  return HeldDirectory(std::move(*fd), path);
}

Result<FileDescriptor> HeldDirectory::own_description() const {
  return open_at(fd_.get(), ".", O_RDONLY | O_DIRECTORY | O_NOCTTY | O_NONBLOCK);
}

Result<HeldDirectory> HeldDirectory::reopen() const {
  auto fd = own_description();
  if (!fd) return fail(std::move(fd.error()));
  return HeldDirectory(std::move(*fd), path_);
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

bool HeldDirectory::reachable(const std::string& name) const {
  struct stat st;
  return ::fstatat(fd_.get(), name.c_str(), &st, 0) == 0;
}

Result<std::vector<std::string>> HeldDirectory::names() const {
  // A description of its own, so listing never moves another reader's place.
  auto fd = own_description();
  if (!fd) return fail(std::move(fd.error()));
  DIR* dir = ::fdopendir(fd->get());
  if (dir == nullptr) return fail_io(errno);
  fd->release();  // closedir() closes it
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

// A build never makes anything but regular files in a directory it holds.
Result<FileDescriptor> HeldDirectory::open_file(const std::string& name) const {
  auto fd = open_at(fd_.get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (!fd) return fd;
  return regular_only(std::move(*fd), display(name));
}

Result<FileDescriptor> HeldDirectory::create_file(const std::string& name, mode_t mode) const {
  auto fd = open_at(fd_.get(), name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, mode);
  if (!fd) return fd;
  return regular_only(std::move(*fd), display(name));
}

Result<std::optional<FileDescriptor>> HeldDirectory::create_new(const std::string& name, mode_t mode) const {
  auto fd = open_at(fd_.get(), name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
  if (fd) return std::move(*fd);
  if (fd.error().os_error == EEXIST) return std::nullopt;
  return fail(std::move(fd.error()));
}

Result<FileDescriptor> HeldDirectory::open_for_update(const std::string& name) const {
  auto fd = open_at(fd_.get(), name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (!fd) return fd;
  return regular_only(std::move(*fd), display(name));
}

Result<HeldDirectory> HeldDirectory::open_directory(const std::string& name) const {
  auto fd = open_at(fd_.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
  if (!fd && fd.error().os_error == EACCES) fd = open_at(fd_.get(), name, O_PATH | O_DIRECTORY | O_NOFOLLOW);
  if (!fd) return fail(std::move(fd.error()));
  return HeldDirectory(std::move(*fd), display(name));
}

Result<std::string> HeldDirectory::read_link(const std::string& name) const {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = ::readlinkat(fd_.get(), name.c_str(), target.data(), target.size());
    if (n < 0) return fail_io(errno);
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);  // maybe cut short
  }
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

bool HeldDirectory::entry_is(const std::string& name, int fd) const {
  auto at_name = entry(name);
  auto open = file_info(fd);
  return at_name && *at_name && open && (*at_name)->dev == open->dev && (*at_name)->ino == open->ino;
}

}  // namespace corv
