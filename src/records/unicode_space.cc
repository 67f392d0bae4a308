#include "records/unicode_space.h"

#include <cstdint>

namespace corv::records {
namespace {

bool is_white_space(uint32_t cp) {
  if (cp <= 0x20) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
  switch (cp) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000: return true;
    default: return cp >= 0x2000 && cp <= 0x200A;
  }
}

// Code point starting at s[i]; sets `len`.
uint32_t decode_at(std::string_view s, size_t i, size_t& len) {
  auto b = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(s[i + k])); };
  uint32_t c = b(0);
  if (c < 0x80) {
    len = 1;
    return c;
  }
  if (c < 0xE0) {
    len = 2;
    return ((c & 0x1F) << 6) | (b(1) & 0x3F);
  }
  if (c < 0xF0) {
    len = 3;
    return ((c & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
  }
  len = 4;
  return ((c & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
}

}  // namespace

std::string_view trim_unicode_space(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t len;
    if (!is_white_space(decode_at(text, begin, len))) break;
    begin += len;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    size_t len;
    if (!is_white_space(decode_at(text, start, len))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace corv::records
