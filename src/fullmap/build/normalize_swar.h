// Eight-bytes-at-a-time byte classification for the normalisation scans.
// Internal to the term normaliser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace corv::fullmap::swar {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHigh = 0x8080808080808080ULL;
constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;

inline uint64_t load8(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

inline uint32_t load4(const char* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// A word holding every byte of a text shorter than 8 bytes, some repeated,
// the free lanes filled with `fill`. For scans whose per-lane results are
// OR-ed or AND-ed together, where repeats do no harm. n must be 1..7.
inline uint64_t short_text_word(const char* p, size_t n, unsigned char fill) {
  if (n >= 4) return load4(p) | (static_cast<uint64_t>(load4(p + n - 4)) << 32);
  uint64_t w = kOnes * fill;
  std::memcpy(&w, p, 1);
  std::memcpy(reinterpret_cast<char*>(&w) + 1, p + n / 2, 1);
  std::memcpy(reinterpret_cast<char*>(&w) + 2, p + n - 1, 1);
  return w;
}

// High bit of each lane in lo..hi (both ASCII); exact per lane, non-ASCII
// lanes never match.
inline uint64_t lanes_in(uint64_t w, unsigned char lo, unsigned char hi) {
  const uint64_t w7 = w & kLow7;
  const uint64_t at_least_lo = w7 + kOnes * (0x80 - lo);
  const uint64_t above_hi = w7 + kOnes * (0x7F - hi);
  return at_least_lo & ~above_hi & ~w & kHigh;
}

}  // namespace corv::fullmap::swar
