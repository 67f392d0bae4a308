#include "fullmap/build/lock_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/posix_acl.h"
#include "fullmap/build/lock_access.h"

namespace corv::fullmap {
namespace {

namespace fs = std::filesystem;

// Creations that lose a race to another build's end in opening its file;
// only a directory whose lock file keeps vanishing runs out of them.
constexpr int kAttempts = 8;

std::unexpected<Error> cannot_create(const fs::path& file, std::string_view why) {
  return fail_runtime("cannot create the build lock file " + file.string() + ": " + std::string(why));
}

std::unexpected<Error> cannot_create(const fs::path& file, int errnum) {
  return cannot_create(file, Error::io(errnum).message);
}

std::unexpected<Error> cannot_open(const fs::path& file, std::string_view why, std::string_view mend) {
  return fail_runtime("cannot open the build lock file " + file.string() + ": " + std::string(why) + "; " +
                      std::string(mend));
}

// A lock file that is there is never changed, so mending it is its owner's.
std::unexpected<Error> cannot_open_for_writing(const fs::path& file, const fs::path& dir, std::string_view why) {
  // Removed while a build holds it, it would let a second build of the same
  // output lock a new one.
  return cannot_open(file, why,
                     "remove it when no build is running, or let everyone who builds in " + dir.string() + " write it");
}

std::unexpected<Error> not_a_lock_file(const fs::path& file, mode_t mode) {
  return cannot_open(file, S_ISLNK(mode) ? "it is a symbolic link" : "it is not a regular file", "remove it");
}

// Gives a lock file this build has just made, and nobody else has opened,
// its attributes in `dir`: everyone the directory lets create files may
// open the lock, nobody else. The owner is the file's maker, who could
// create a file there, or the directory's owner when root makes it.
void conform(int fd, const HeldDirectory& dir, const struct stat& d) {
  if (::geteuid() == 0) {
    (void)::fchown(fd, d.st_uid, d.st_gid);
  } else {
    (void)::fchown(fd, static_cast<uid_t>(-1), d.st_gid);  // a group of the maker's only
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) return;
  const auto dir_acl = read_access_acl(dir.fd());
  const std::vector<AclEntry> acl =
      lock_acl(dir_acl ? *dir_acl : mode_acl(d.st_mode), {d.st_uid, d.st_gid, st.st_uid, st.st_gid});
  if (write_access_acl(fd, acl)) return;
  // The mode alone governs: entries a default ACL gave the file would let
  // users open it whom the directory does not let create files.
  remove_access_acl(fd);
  (void)::fchmod(fd, lock_mode(acl));
}

// Puts the unnamed file open at `fd` in place as `name`, never replacing
// one another build made meanwhile. Returns 0 or an errno.
int link_unnamed(int fd, const HeldDirectory& dir, const std::string& name) {
  const std::string proc = proc_fd_path(fd);
  if (::linkat(AT_FDCWD, proc.c_str(), dir.fd(), name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno == EEXIST) return EEXIST;
  // Without /proc, linking a descriptor itself needs privilege.
  return ::linkat(fd, "", dir.fd(), name.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
}

// The same for the file named `temp`, which stays behind unless renamed.
int link_named(const HeldDirectory& dir, const std::string& temp, const std::string& name) {
  if (::linkat(dir.fd(), temp.c_str(), dir.fd(), name.c_str(), 0) == 0) return 0;
  if (errno == EEXIST) return EEXIST;
  // File systems without hard links may still rename without replacing.
  return ::renameat2(dir.fd(), temp.c_str(), dir.fd(), name.c_str(), RENAME_NOREPLACE) == 0 ? 0 : errno;
}

bool cannot_link_here(int err) { return err == EINVAL || err == ENOSYS || err == EPERM || err == EOPNOTSUPP; }

// A new file under a random name beside `name`, read-write.
Result<std::pair<std::string, FileDescriptor>> create_temporary(const HeldDirectory& dir, const std::string& name) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, 0) != sizeof bits) return fail_io(errno);
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016" PRIx64, bits);
    std::string temp = name + ".new-" + hex;
    auto fd = dir.create_new(temp, 0600);
    if (!fd) return fail(std::move(fd.error()));
    if (*fd) return std::pair(std::move(temp), std::move(**fd));
  }
  return fail_io(EEXIST);
}

// Makes the file with its attributes before it has its name, so nobody ever
// opens a lock file that still has the maker's umask. Unnamed first, so a
// build killed meanwhile leaves nothing behind; under a random name of its
// own where the file system makes no unnamed files. nullopt when another
// build's file came first.
Result<std::optional<FileDescriptor>> create(const HeldDirectory& dir, const std::string& name, const struct stat& d) {
  const fs::path file = dir.display(name);
  auto unnamed = open_at(dir.fd(), ".", O_TMPFILE | O_RDWR, 0600);
  if (unnamed) {
    conform(unnamed->get(), dir, d);
    const int err = link_unnamed(unnamed->get(), dir, name);
    if (err == 0) return std::optional<FileDescriptor>(std::move(*unnamed));
    if (err == EEXIST) return std::optional<FileDescriptor>();
  } else if (const int err = unnamed.error().os_error; err != EOPNOTSUPP && err != EISDIR && err != EINVAL) {
    return cannot_create(file, unnamed.error().message);
  }

  auto temp = create_temporary(dir, name);
  if (!temp) return cannot_create(file, temp.error().message);
  auto& [temp_name, fd] = *temp;
  conform(fd.get(), dir, d);
  const int err = link_named(dir, temp_name, name);
  (void)dir.remove_file(temp_name);  // gone with the rename, if that placed it
  if (err == 0) return std::optional<FileDescriptor>(std::move(fd));
  if (err == EEXIST) return std::optional<FileDescriptor>();
  if (!cannot_link_here(err)) return cannot_create(file, err);
  // Neither: create it in place, its attributes set a moment later.
  auto direct = dir.create_new(name, 0600);
  if (!direct) return cannot_create(file, direct.error().message);
  if (*direct) conform((*direct)->get(), dir, d);
  return direct;
}

}  // namespace

Result<FileDescriptor> open_lock_file(const HeldDirectory& dir, const std::string& name) {
  const fs::path file = dir.display(name);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    auto seen = dir.entry(name);
    if (!seen) return cannot_open_for_writing(file, dir.path(), seen.error().message);
    if (*seen) {
      // Looked at before it is opened: opening a device may do something.
      if (!(*seen)->is_regular()) return not_a_lock_file(file, (*seen)->mode);
      auto existing = open_existing_for_update(name, dir.fd());
      if (!existing) return cannot_open_for_writing(file, dir.path(), existing.error().message);
      if (!*existing) continue;  // removed since
      struct stat st;
      if (::fstat((*existing)->get(), &st) != 0) {
        return cannot_open_for_writing(file, dir.path(), Error::io(errno).message);
      }
      if (!S_ISREG(st.st_mode)) return not_a_lock_file(file, st.st_mode);
      return std::move(**existing);
    }
    struct stat d;
    if (::fstat(dir.fd(), &d) != 0) return cannot_create(file, errno);
    auto made = create(dir, name, d);
    if (!made) return std::unexpected(std::move(made.error()));
    if (*made) return std::move(**made);
  }
  return cannot_open(file, "it vanished each time it was made", "look for what removes it");
}

}  // namespace corv::fullmap
