#include "fullmap/build/lock_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <string>
#include <utility>

namespace corv::fullmap {
namespace {

namespace fs = std::filesystem;

// Creations that lose a race to another build's end in opening its file;
// only a directory whose lock file keeps vanishing runs out of them.
constexpr int kAttempts = 8;

std::unexpected<Error> cannot(std::string_view what, const fs::path& file, std::string_view why) {
  return fail_runtime("cannot " + std::string(what) + " the build lock file " + file.string() + ": " +
                      std::string(why));
}

std::unexpected<Error> cannot(std::string_view what, const fs::path& file, int errnum) {
  return cannot(what, file, Error::io(errnum).message);
}

// The lock file's attributes in a directory: everyone it lets create files
// may write the lock, nobody else. The owner is the file's maker, who could
// create a file there, or the directory's owner when root makes it.
void conform(int fd, const struct stat& dir) {
  if (::geteuid() == 0) {
    (void)::fchown(fd, dir.st_uid, dir.st_gid);
  } else {
    (void)::fchown(fd, static_cast<uid_t>(-1), dir.st_gid);  // a group of the maker's only
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) return;
  mode_t mode = 0644 | (dir.st_mode & (S_IWGRP | S_IWOTH));
  // Members of another group may write only if everyone may.
  if (st.st_gid != dir.st_gid) mode = (mode & ~S_IWGRP) | ((dir.st_mode & S_IWOTH) ? S_IWGRP : 0);
  if ((st.st_mode & 07777) != mode) (void)::fchmod(fd, mode);
}

// Makes the file under a name of its own, gives it its attributes, then puts
// it in place without replacing one that another build made meanwhile, so
// nobody ever opens a lock file that still has the maker's umask.
// nullopt when another build's file came first.
Result<std::optional<FileDescriptor>> create(const fs::path& file, const struct stat& dir) {
  static std::atomic<uint64_t> counter{0};
  const fs::path temp = file.string() + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  auto made = create_new(temp, 0600);
  if (!made) return cannot("create", file, made.error().message);
  if (!*made) return std::optional<FileDescriptor>();  // a dead maker's; try another name next time
  FileDescriptor fd = std::move(**made);
  conform(fd.get(), dir);
  int rc = ::link(temp.c_str(), file.c_str());
  int err = rc == 0 ? 0 : errno;
  if (rc != 0 && err != EEXIST) {
    // File systems without hard links may still rename without replacing.
    rc = ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, file.c_str(), RENAME_NOREPLACE);
    err = rc == 0 ? 0 : errno;
    if (rc == 0) return std::optional<FileDescriptor>(std::move(fd));
  }
  ::unlink(temp.c_str());
  if (rc == 0) return std::optional<FileDescriptor>(std::move(fd));
  if (err == EEXIST) return std::optional<FileDescriptor>();
  if (err != EINVAL && err != ENOSYS && err != EPERM && err != EOPNOTSUPP) return cannot("create", file, err);
  // Neither: create it in place, its attributes set a moment later.
  auto direct = create_new(file, 0600);
  if (!direct) return cannot("create", file, direct.error().message);
  if (*direct) conform((*direct)->get(), dir);
  return direct;
}

}  // namespace

Result<FileDescriptor> open_lock_file(const fs::path& dir, std::string_view name) {
  const fs::path file = dir / name;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    auto existing = open_existing_for_update(file);
    if (!existing) return cannot("open", file, existing.error().message);
    if (*existing) {
      FileDescriptor opened = std::move(**existing);
      const int fd = opened.get();
      struct stat st;
      if (::fstat(fd, &st) != 0) return cannot("open", file, errno);
      if (!S_ISREG(st.st_mode)) return cannot("open", file, "not a regular file");
      // One that an older build made with its umask is mended by its owner.
      struct stat d;
      if (st.st_uid == ::geteuid() && ::stat(dir.c_str(), &d) == 0) conform(fd, d);
      return opened;
    }
    struct stat d;
    if (::stat(dir.c_str(), &d) != 0) return cannot("create", file, errno);
    auto made = create(file, d);
    if (!made) return std::unexpected(std::move(made.error()));
    if (*made) return std::move(**made);
  }
  return cannot("open", file, ENOENT);
}

}  // namespace corv::fullmap
