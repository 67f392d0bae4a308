#include "fullmap/build/lock_access.h"

#include <cstdint>
#include <map>

namespace corv::fullmap {
namespace {

constexpr uint16_t kReadWrite = AclEntry::kRead | AclEntry::kWrite;
constexpr uint16_t kCreate = AclEntry::kWrite | AclEntry::kExecute;

// Creating a file in a directory takes write and search from one entry;
// the lock's read and write go with that right and nothing else.
uint16_t lock_perm(uint16_t dir_perm) { return (dir_perm & kCreate) == kCreate ? kReadWrite : 0; }

}  // namespace

std::vector<AclEntry> mode_acl(mode_t mode) {
  return {{AclEntry::kUserObj, static_cast<uint16_t>((mode >> 6) & 7)},
          {AclEntry::kGroupObj, static_cast<uint16_t>((mode >> 3) & 7)},
          {AclEntry::kOther, static_cast<uint16_t>(mode & 7)}};
}

std::vector<AclEntry> lock_acl(const std::vector<AclEntry>& dir, const LockOwners& owners) {
  uint16_t mask = AclEntry::kRead | kCreate;
  uint16_t user_obj = 0, group_obj = 0, other = 0;
  for (const AclEntry& e : dir) {
    if (e.tag == AclEntry::kMask) mask = e.perm;
    if (e.tag == AclEntry::kUserObj) user_obj = e.perm;
    if (e.tag == AclEntry::kGroupObj) group_obj = e.perm;
    if (e.tag == AclEntry::kOther) other = e.perm;
  }
  // Ordered by id, one entry each, as the kernel keeps them.
  std::map<uint32_t, uint16_t> users, groups;
  for (const AclEntry& e : dir) {
    if (e.tag == AclEntry::kUser) users[e.id] = lock_perm(e.perm & mask);
    if (e.tag == AclEntry::kGroup) groups[e.id] = lock_perm(e.perm & mask);
  }
  // The directory's owner is its owner entry alone, whatever names them.
  if (owners.lock_uid != owners.dir_uid) users[owners.dir_uid] = lock_perm(user_obj);
  uint16_t lock_group = lock_perm(group_obj & mask);
  if (owners.lock_gid != owners.dir_gid) {
    // Members of the directory's group may use either of its entries for it.
    groups[owners.dir_gid] |= lock_group;
    // The maker's group is whatever the directory gives it: its named entry,
    // or as everyone else.
    auto named = groups.find(owners.lock_gid);
    lock_group = named != groups.end() ? named->second : lock_perm(other);
  }

  std::vector<AclEntry> out{{AclEntry::kUserObj, kReadWrite}};  // the maker could create files there
  uint16_t group_class = lock_group;                            // the mask must grant what the group class entries do
  for (const auto& [uid, perm] : users) {
    out.push_back({AclEntry::kUser, perm, uid});
    group_class |= perm;
  }
  out.push_back({AclEntry::kGroupObj, lock_group});
  for (const auto& [gid, perm] : groups) {
    out.push_back({AclEntry::kGroup, perm, gid});
    group_class |= perm;
  }
  // Without named entries the ACL is the mode alone, which the kernel keeps as such.
  if (!users.empty() || !groups.empty()) out.push_back({AclEntry::kMask, group_class});
  out.push_back({AclEntry::kOther, lock_perm(other)});
  return out;
}

mode_t lock_mode(const std::vector<AclEntry>& lock) {
  mode_t mode = 0;
  for (const AclEntry& e : lock) {
    if (e.tag == AclEntry::kUserObj) mode |= static_cast<mode_t>(e.perm) << 6;
    if (e.tag == AclEntry::kGroupObj) mode |= static_cast<mode_t>(e.perm) << 3;
    if (e.tag == AclEntry::kOther) mode |= e.perm;
  }
  return mode;
}

}  // namespace corv::fullmap
