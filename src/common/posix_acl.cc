#include "common/posix_acl.h"

#include <linux/posix_acl_xattr.h>
#include <sys/xattr.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <string>

#include "common/fd_io.h"

namespace corv {
namespace {

// The attribute is the header's version, then the entries, little-endian.
static_assert(std::endian::native == std::endian::little, "ACL attributes are read as laid out in memory");
static_assert(sizeof(AclEntry) == sizeof(posix_acl_xattr_entry));
constexpr size_t kHeaderBytes = sizeof(posix_acl_xattr_header);

constexpr char kAccessAcl[] = "system.posix_acl_access";

// An O_PATH descriptor takes no f*xattr calls; its /proc link reaches the
// same file.
ssize_t get_attribute(int fd, void* out, size_t size) {
  const ssize_t n = ::fgetxattr(fd, kAccessAcl, out, size);
  if (n >= 0 || errno != EBADF) return n;
  const std::string own = proc_fd_path(fd);
  return ::getxattr(own.c_str(), kAccessAcl, out, size);
}

}  // namespace

std::optional<std::vector<AclEntry>> read_access_acl(int fd) {
  std::string raw(kHeaderBytes + 32 * sizeof(AclEntry), '\0');
  ssize_t n;
  for (;;) {
    n = get_attribute(fd, raw.data(), raw.size());
    if (n >= 0 || errno != ERANGE) break;
    const ssize_t needed = get_attribute(fd, nullptr, 0);
    if (needed < 0) return std::nullopt;
    raw.resize(static_cast<size_t>(needed) + sizeof(AclEntry));  // room for one more added meanwhile
  }
  if (n < static_cast<ssize_t>(kHeaderBytes) || (n - kHeaderBytes) % sizeof(AclEntry) != 0) return std::nullopt;
  posix_acl_xattr_header header;
  std::memcpy(&header, raw.data(), kHeaderBytes);
  if (header.a_version != POSIX_ACL_XATTR_VERSION) return std::nullopt;
  std::vector<AclEntry> entries((n - kHeaderBytes) / sizeof(AclEntry));
  std::memcpy(entries.data(), raw.data() + kHeaderBytes, entries.size() * sizeof(AclEntry));
  return entries;
}

bool write_access_acl(int fd, const std::vector<AclEntry>& entries) {
  const posix_acl_xattr_header header{POSIX_ACL_XATTR_VERSION};
  std::string raw(kHeaderBytes + entries.size() * sizeof(AclEntry), '\0');
  std::memcpy(raw.data(), &header, kHeaderBytes);
  std::memcpy(raw.data() + kHeaderBytes, entries.data(), entries.size() * sizeof(AclEntry));
  return ::fsetxattr(fd, kAccessAcl, raw.data(), raw.size(), 0) == 0;
}

void remove_access_acl(int fd) { (void)::fremovexattr(fd, kAccessAcl); }

}  // namespace corv
