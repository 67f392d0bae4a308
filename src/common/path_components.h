// Path components as the system resolves names: repeated separators and
// interior "." components do not count; a leading "." does.
#pragma once

#include <cstddef>
#include <string_view>

namespace corv {

// Calls f(component) for each component of `path`, from the first.
template <class F>
void for_each_path_component(std::string_view path, F&& f) {
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    if (i >= path.size()) break;
    size_t j = i;
    while (j < path.size() && path[j] != '/') ++j;
    const std::string_view part = path.substr(i, j - i);
    if (part != "." || i == 0) f(part);
    i = j;
  }
}

// The last component of `path`; empty when that is "." or "..", or when
// the path is empty or a root.
inline std::string_view final_name(std::string_view path) {
  std::string_view last;
  for_each_path_component(path, [&](std::string_view part) { last = part; });
  return last == "." || last == ".." ? std::string_view() : last;
}

}  // namespace corv
