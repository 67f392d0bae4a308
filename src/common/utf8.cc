#include "common/utf8.h"

#include <cstdint>

namespace corv {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid sequence at `i`, or 0 with `*bad_len` set to the bytes
// that form the maximal invalid subpart (at least 1).
size_t sequence_at(std::string_view s, size_t i, size_t* bad_len) {
  const auto at = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t b = at(i);
  if (b < 0x80) return 1;
  size_t width = 0;
  uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    width = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    width = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    width = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    *bad_len = 1;
    return 0;
  }
  size_t j = i + 1;
  if (j >= s.size() || at(j) < lo || at(j) > hi) {
    *bad_len = 1;
    return 0;
  }
  ++j;
  for (size_t k = 2; k < width; ++k, ++j) {
    if (j >= s.size() || at(j) < 0x80 || at(j) > 0xBF) {
      *bad_len = j - i;
      return 0;
    }
  }
  return width;
}

}  // namespace

std::optional<size_t> first_invalid_utf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    // ASCII runs are the common case.
    while (i + 8 <= bytes.size()) {
      uint64_t word;
      __builtin_memcpy(&word, bytes.data() + i, 8);
      if (word & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= bytes.size()) break;
    size_t bad = 0;
    const size_t len = sequence_at(bytes, i, &bad);
    if (len == 0) return i;
    i += len;
  }
  return std::nullopt;
}

std::optional<std::string> utf8_error(std::string_view bytes) {
  const auto at = first_invalid_utf8(bytes);
  if (!at) return std::nullopt;
  size_t bad = 0;
  sequence_at(bytes, *at, &bad);
  const auto lead = static_cast<uint8_t>(bytes[*at]);
  // A valid lead whose subpart runs to the end was cut short, not broken.
  if (lead >= 0xC2 && lead <= 0xF4 && *at + bad == bytes.size()) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(*at);
  }
  return "invalid utf-8 sequence of " + std::to_string(bad) + " bytes from index " + std::to_string(*at);
}

std::string utf8_lossy(std::string_view bytes) {
  if (!first_invalid_utf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  size_t i = 0;
  while (i < bytes.size()) {
    size_t bad = 0;
    const size_t len = sequence_at(bytes, i, &bad);
    if (len == 0) {
      out += kReplacement;
      i += bad;
    } else {
      out.append(bytes.substr(i, len));
      i += len;
    }
  }
  return out;
}

}  // namespace corv
