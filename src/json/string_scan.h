// Finding the bytes a JSON string cannot hold as they are, eight at a time:
// shared by the reader and the canonical writer.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace corv::json {

// Bit 7 of each byte of the result is set where `w` holds '"', '\\' or a
// byte below 0x20. Bits above the lowest such byte may be spurious, so only
// the lowest set bit is meaningful.
inline uint64_t string_special_mask(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  uint64_t q = w ^ (kOnes * '"');
  uint64_t b = w ^ (kOnes * '\\');
  return (((q - kOnes) & ~q) | ((b - kOnes) & ~b) | ((w - kOnes * 0x20) & ~w)) & kHigh;
}

// Advances `p` to the first '"', '\\' or control byte, or to `end`.
inline const char* find_string_special(const char* p, const char* end) {
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    if (uint64_t m = string_special_mask(w)) return p + (std::countr_zero(m) >> 3);
    p += 8;
  }
  while (p != end) {
    auto c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20) break;
    ++p;
  }
  return p;
}

}  // namespace corv::json
