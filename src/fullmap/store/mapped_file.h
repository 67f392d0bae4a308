// Where a read-only database file lies in memory: the bytes LMDB may hand
// out. A key or value outside them comes from a damaged page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace corv::fullmap {

struct MappedFile {
  const char* begin = nullptr;
  uint64_t size = 0;  // the file's size; the mapping may reach further

  bool contains(const void* data, size_t bytes) const {
    const auto* p = static_cast<const char*>(data);
    if (p < begin) return false;
    const uint64_t offset = static_cast<uint64_t>(p - begin);
    return offset <= size && bytes <= size - offset;
  }
};

// The mapping of the file with inode `inode` that holds `inside`, read from
// /proc/self/maps; nullopt when no such mapping holds it.
std::optional<MappedFile> find_mapping(const void* inside, uint64_t inode, uint64_t file_bytes);

}  // namespace corv::fullmap
