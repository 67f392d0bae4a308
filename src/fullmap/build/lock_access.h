// Who may open a build lock file this build makes: exactly those whom its
// directory lets create files, and for reading and writing alike. Anyone
// who could only read the lock could still hold a lock on it that refuses
// every build, so there are no read-only entries.
#pragma once

#include <sys/types.h>

#include <vector>

#include "common/posix_acl.h"

namespace corv::fullmap {

// The directory's and the new lock file's owner and group.
struct LockOwners {
  uid_t dir_uid;
  gid_t dir_gid;
  uid_t lock_uid;
  gid_t lock_gid;
};

// The three entries a mode alone stands for.
std::vector<AclEntry> mode_acl(mode_t mode);

// The lock file's access ACL, in the kernel's order, from the directory's
// (or its mode's) entries. Where the lock's owner or group is not the
// directory's, the directory's owner and group get named entries, since the
// lock's own owner and group entries no longer reach them.
std::vector<AclEntry> lock_acl(const std::vector<AclEntry>& dir, const LockOwners& owners);

// The mode that stands in for `lock_acl`'s entries where the file system
// takes no ACLs: its owner, owning group and others, without named entries.
mode_t lock_mode(const std::vector<AclEntry>& lock);

}  // namespace corv::fullmap
