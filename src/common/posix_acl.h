// POSIX access ACLs through the kernel's own extended attribute
// ("system.posix_acl_access"), so no ACL library is needed. Every failure,
// a file system that takes no ACLs among them, reads as "no ACL".
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace corv {

struct AclEntry {
  enum Tag : uint16_t { kUserObj = 0x01, kUser = 0x02, kGroupObj = 0x04, kGroup = 0x08, kMask = 0x10, kOther = 0x20 };
  static constexpr uint16_t kRead = 4, kWrite = 2, kExecute = 1;
  static constexpr uint32_t kNoId = UINT32_MAX;  // the owner, group, mask and other entries

  uint16_t tag = 0;
  uint16_t perm = 0;
  uint32_t id = kNoId;
};

// The entries of `path`'s access ACL in the kernel's order (owner, named
// users, group, named groups, mask, other), or nullopt when its mode alone
// governs access.
std::optional<std::vector<AclEntry>> read_access_acl(const std::filesystem::path& path);
// Replaces the access ACL of the file open at `fd`; entries must come in
// the kernel's order. The kernel sets the mode's bits from them.
bool write_access_acl(int fd, const std::vector<AclEntry>& entries);
// Leaves the file open at `fd` to its mode alone.
void remove_access_acl(int fd);

}  // namespace corv
