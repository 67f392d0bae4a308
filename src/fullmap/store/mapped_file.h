// Where a read-only database file lies in memory: the bytes LMDB may hand
// out. A key or value outside them comes from a damaged page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/status.h"

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

// Where the mapping of the file open at `fd`, of `file_bytes` bytes in pages
// of `page_bytes`, begins, found from `inside`, which lies in one of its
// pages; nullopt when that page or what it leads to is not the file's.
// Works from memory and the descriptor alone, as /proc may be missing.
Result<std::optional<MappedFile>> find_mapping(const void* inside, int fd, uint64_t file_bytes, size_t page_bytes);

}  // namespace corv::fullmap
