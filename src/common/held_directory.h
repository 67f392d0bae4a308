// A directory held open by its descriptor. Once a build has checked and
// claimed a directory, everything it does inside goes through the
// descriptor: renaming the directory, or an ancestor, or putting a symbolic
// link in its place afterwards redirects nothing. Names are single entries
// of the directory ("run_s0_00000001.bin", never "a/b"), and a symbolic link
// inside it is never followed.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/fd_io.h"
#include "common/status.h"

namespace corv {

// An entry as lstat sees it.
struct EntryInfo {
  uint64_t dev = 0;
  uint64_t ino = 0;
  uid_t uid = 0;
  mode_t mode = 0;  // type and permission bits
  uint64_t size = 0;

  bool is_directory() const;
  bool is_regular() const;
  bool is_symlink() const;
};

class HeldDirectory {
 public:
  // Opens the directory at `path` (through links on the way, as the caller
  // named it); `path` is kept only to name it in messages.
  static Result<HeldDirectory> open(const std::filesystem::path& path);

  HeldDirectory() = default;
  HeldDirectory(HeldDirectory&&) noexcept = default;
  HeldDirectory& operator=(HeldDirectory&&) noexcept = default;

  // The same directory through a new open description of its own, which
  // outlives this one and shares no lock or place with it.
  Result<HeldDirectory> reopen() const;
  // A new open description of the directory itself, whose file position and
  // locks are its own.
  Result<FileDescriptor> own_description() const;

  bool valid() const noexcept { return fd_.valid(); }
  int fd() const noexcept { return fd_.get(); }
  const std::filesystem::path& path() const noexcept { return path_; }
  // How the entry `name` is named in messages.
  std::filesystem::path display(const std::string& name) const { return path_ / name; }

  Result<EntryInfo> info() const;
  // nullopt when there is no entry `name`.
  Result<std::optional<EntryInfo>> entry(const std::string& name) const;
  // Whether the metadata of `name`, through a link, can be read: false when
  // nothing is there, a link leads nowhere, or the entry cannot be reached.
  bool reachable(const std::string& name) const;
  // The names in the directory, without "." and "..". Fails where the
  // directory may be entered but not read.
  Result<std::vector<std::string>> names() const;

  // Read-only; neither a link, a FIFO's wait nor a terminal.
  Result<FileDescriptor> open_file(const std::string& name) const;
  // Write-only, created or truncated with `mode` before the umask; not
  // through a link.
  Result<FileDescriptor> create_file(const std::string& name, mode_t mode = 0666) const;
  // Read-write, created with `mode`; nullopt when the name is taken.
  Result<std::optional<FileDescriptor>> create_new(const std::string& name, mode_t mode) const;
  // Read-write, never created; neither a link, a FIFO's wait nor a terminal.
  Result<FileDescriptor> open_for_update(const std::string& name) const;
  // The subdirectory `name`, not through a link; held as open() holds one
  // that may be entered but not listed.
  Result<HeldDirectory> open_directory(const std::string& name) const;
  // What the symbolic link `name` holds.
  Result<std::string> read_link(const std::string& name) const;
  // Makes the subdirectory `name`; true when made, false when the name was
  // taken.
  Result<bool> make_directory(const std::string& name, mode_t mode) const;

  Status remove_file(const std::string& name) const;
  Status remove_directory(const std::string& name) const;
  // Removes the entry `name` with everything below it, never following a
  // link; nothing at `name` is fine.
  Status remove_all(const std::string& name) const;
  // Removes every entry, leaving the directory.
  Status clear() const;
  Status rename(const std::string& from, const std::string& to) const;

  // Whether the entry `name` (not through a link) is the file or directory
  // open at `fd` (device and inode).
  bool entry_is(const std::string& name, int fd) const;

 private:
  HeldDirectory(FileDescriptor fd, std::filesystem::path path) : fd_(std::move(fd)), path_(std::move(path)) {}
  FileDescriptor fd_;
  std::filesystem::path path_;
};

}  // namespace corv
