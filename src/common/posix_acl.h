// POSIX access ACLs through the kernel's own extended attribute
// ("system.posix_acl_access"), so no ACL library is needed. Every failure,
// a file system that takes no ACLs among them, reads as "no ACL".
#pragma once

#include <linux/posix_acl.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace corv {

// One entry, laid out as the attribute holds it.
struct AclEntry {
  enum Tag : uint16_t {
    kUserObj = ACL_USER_OBJ,
    kUser = ACL_USER,
    kGroupObj = ACL_GROUP_OBJ,
    kGroup = ACL_GROUP,
    kMask = ACL_MASK,
    kOther = ACL_OTHER,
  };
  static constexpr uint16_t kRead = ACL_READ, kWrite = ACL_WRITE, kExecute = ACL_EXECUTE;

  uint16_t tag = 0;
  uint16_t perm = 0;
  uint32_t id = ACL_UNDEFINED_ID;  // a user or group id for the named entries only
};

// The entries of the access ACL of the file or directory open at `fd` (an
// O_PATH descriptor too) in the kernel's order (owner, named users, group,
// named groups, mask, other), or nullopt when its mode alone governs access.
std::optional<std::vector<AclEntry>> read_access_acl(int fd);
// Replaces the access ACL of the file open at `fd`; entries must come in
// the kernel's order. The kernel sets the mode's bits from them.
bool write_access_acl(int fd, const std::vector<AclEntry>& entries);
// Leaves the file open at `fd` to its mode alone.
void remove_access_acl(int fd);

}  // namespace corv
