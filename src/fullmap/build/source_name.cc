#include "fullmap/build/source_name.h"

#include <string_view>

#include "common/path_components.h"
#include "common/utf8.h"

namespace corv::fullmap {
namespace {

constexpr std::string_view kFallbackName = "BABEL";
constexpr std::string_view kNdjson = ".ndjson";

// The name without its final extension; a dot at the very start does not
// begin an extension.
std::string_view stem_of(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return name;
  return name.substr(0, dot);
}

}  // namespace

std::string source_name(const std::filesystem::path& path) {
  std::string_view name = final_name(path.native());
  if (name.empty()) return std::string(kFallbackName);
  std::string_view stem = stem_of(name);
  if (!is_valid_utf8(stem)) return std::string(kFallbackName);
  while (stem.ends_with(kNdjson)) stem.remove_suffix(kNdjson.size());
  return std::string(stem);
}

}  // namespace corv::fullmap
