#include "fullmap/store/layout.h"

#include <xxhash.h>

#include <string>
#include <utility>

#include "common/path_components.h"
#include "common/utf8.h"

namespace corv::fullmap {

uint64_t term_hash(std::string_view term) { return XXH64(term.data(), term.size(), 0); }

std::filesystem::path shard_path(const std::filesystem::path& base, uint64_t index) {
  const std::string_view s = base.native();
  std::string_view before_last;
  std::string_view last;
  size_t parts = 0;
  for_each_path_component(s, [&](std::string_view part) {
    before_last = std::exchange(last, part);
    ++parts;
  });
  const std::string_view file_name = final_name(s);

  // The stem and extension split the name at its last '.', unless that dot
  // is the name's first character.
  std::string stem = "fullmap";
  std::string ext = "redb";
  if (!file_name.empty()) {
    const size_t dot = file_name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
      stem = utf8_lossy(file_name);
    } else {
      stem = utf8_lossy(file_name.substr(0, dot));
      ext = utf8_lossy(file_name.substr(dot + 1));
    }
  }
  std::string name = stem + ".s" + std::to_string(index) + "." + ext;

  std::string parent;
  if (parts >= 2) {
    parent = s.substr(0, static_cast<size_t>(before_last.data() + before_last.size() - s.data()));
  } else if (parts == 1 && s.starts_with('/')) {
    parent = "/";
  }
  if (parent.empty()) return name;
  if (parent.back() != '/') parent += '/';
  return parent + name;
}

}  // namespace corv::fullmap
