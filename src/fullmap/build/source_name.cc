#include "fullmap/build/source_name.h"

#include <cstdint>
#include <string_view>

namespace corv::fullmap {
namespace {

constexpr std::string_view kFallbackName = "BABEL";
constexpr std::string_view kNdjson = ".ndjson";

bool is_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<uint8_t>(s[i]);
    size_t len;
    uint32_t min;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, min = 0x10000;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    uint32_t cp = c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
      auto b = static_cast<uint8_t>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// The last component, ignoring trailing separators and "." components;
// empty when the path ends at a root or at "..".
std::string_view last_component(std::string_view p) {
  while (!p.empty()) {
    size_t end = p.find_last_not_of('/');
    if (end == std::string_view::npos) return {};
    p = p.substr(0, end + 1);
    size_t slash = p.find_last_of('/');
    std::string_view name = slash == std::string_view::npos ? p : p.substr(slash + 1);
    if (name == ".") {
      p = slash == std::string_view::npos ? std::string_view() : p.substr(0, slash);
      continue;
    }
    if (name == "..") return {};
    return name;
  }
  return {};
}

// The name without its final extension; a dot at the very start does not
// begin an extension.
std::string_view stem_of(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return name;
  return name.substr(0, dot);
}

}  // namespace

std::string source_name(const std::filesystem::path& path) {
  std::string_view name = last_component(path.native());
  if (name.empty()) return std::string(kFallbackName);
  std::string_view stem = stem_of(name);
  if (!is_utf8(stem)) return std::string(kFallbackName);
  while (stem.ends_with(kNdjson)) stem.remove_suffix(kNdjson.size());
  return std::string(stem);
}

}  // namespace corv::fullmap
