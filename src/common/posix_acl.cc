#include "common/posix_acl.h"

#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace corv {
namespace {

constexpr char kAccessAcl[] = "system.posix_acl_access";
// The attribute: a little-endian u32 version, then entries of a u16 tag, a
// u16 permission set and a u32 id each.
constexpr uint32_t kVersion = 2;
constexpr size_t kHeaderBytes = 4;
constexpr size_t kEntryBytes = 8;

uint32_t load_le(const unsigned char* p, size_t bytes) {
  uint32_t v = 0;
  for (size_t i = 0; i < bytes; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}

void store_le(std::string& out, uint32_t v, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

std::optional<std::vector<AclEntry>> read_access_acl(const std::filesystem::path& path) {
  std::string raw(kHeaderBytes + 32 * kEntryBytes, '\0');
  ssize_t n;
  for (;;) {
    n = ::getxattr(path.c_str(), kAccessAcl, raw.data(), raw.size());
    if (n >= 0 || errno != ERANGE) break;
    const ssize_t needed = ::getxattr(path.c_str(), kAccessAcl, nullptr, 0);
    if (needed < 0) return std::nullopt;
    raw.resize(static_cast<size_t>(needed) + kEntryBytes);  // room for one more added meanwhile
  }
  if (n < static_cast<ssize_t>(kHeaderBytes) || (n - kHeaderBytes) % kEntryBytes != 0) return std::nullopt;
  const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
  if (load_le(bytes, 4) != kVersion) return std::nullopt;
  std::vector<AclEntry> entries;
  for (size_t at = kHeaderBytes; at < static_cast<size_t>(n); at += kEntryBytes) {
    entries.push_back({static_cast<uint16_t>(load_le(bytes + at, 2)), static_cast<uint16_t>(load_le(bytes + at + 2, 2)),
                       load_le(bytes + at + 4, 4)});
  }
  return entries;
}

bool write_access_acl(int fd, const std::vector<AclEntry>& entries) {
  std::string raw;
  store_le(raw, kVersion, 4);
  for (const AclEntry& e : entries) {
    store_le(raw, e.tag, 2);
    store_le(raw, e.perm, 2);
    store_le(raw, e.id, 4);
  }
  return ::fsetxattr(fd, kAccessAcl, raw.data(), raw.size(), 0) == 0;
}

void remove_access_acl(int fd) { (void)::fremovexattr(fd, kAccessAcl); }

}  // namespace corv
