#include "fullmap/store/layout.h"

#include <xxhash.h>

#include <string>
#include <vector>

#include "common/utf8.h"

namespace corv::fullmap {

uint64_t term_hash(std::string_view term) { return XXH64(term.data(), term.size(), 0); }

namespace {

// A path split the way path components are usually understood on POSIX:
// repeated separators and interior "." components do not count, a leading
// "." does, and ".." has no file name.
struct SplitPath {
  bool has_root = false;
  struct Part {
    size_t begin, end;
  };
  std::vector<Part> parts;
};

SplitPath split(std::string_view s) {
  SplitPath out;
  out.has_root = !s.empty() && s.front() == '/';
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == '/') ++i;
    if (i >= s.size()) break;
    size_t j = i;
    while (j < s.size() && s[j] != '/') ++j;
    const std::string_view part = s.substr(i, j - i);
    const bool leading_dot = i == 0 && part == ".";
    if (part != "." || leading_dot) out.parts.push_back({i, j});
    i = j;
  }
  return out;
}

}  // namespace

std::filesystem::path shard_path(const std::filesystem::path& base, uint64_t index) {
  const std::string& s = base.native();
  const SplitPath sp = split(s);

  std::string_view file_name;
  bool has_file_name = false;
  if (!sp.parts.empty()) {
    const auto last = sp.parts.back();
    const std::string_view part = std::string_view(s).substr(last.begin, last.end - last.begin);
    if (part != "." && part != "..") {
      file_name = part;
      has_file_name = true;
    }
  }

  // The stem and extension split the name at its last '.', unless that dot
  // is the name's first character.
  std::string stem = "fullmap";
  std::string ext = "redb";
  if (has_file_name) {
    const size_t dot = file_name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
      stem = utf8_lossy(file_name);
    } else {
      stem = utf8_lossy(file_name.substr(0, dot));
      ext = utf8_lossy(file_name.substr(dot + 1));
    }
  }
  std::string name = stem + ".s" + std::to_string(index) + "." + ext;

  if (sp.parts.empty()) return name;  // empty path or a root
  std::string parent;
  if (sp.parts.size() >= 2) {
    parent = s.substr(0, sp.parts[sp.parts.size() - 2].end);
  } else if (sp.has_root) {
    parent = "/";
  }
  if (parent.empty()) return name;
  if (parent.back() != '/') parent += '/';
  return parent + name;
}

}  // namespace corv::fullmap
