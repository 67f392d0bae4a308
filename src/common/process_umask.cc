#include "common/process_umask.h"

#include <fstream>
#include <string>
#include <string_view>

namespace corv {

mode_t process_umask() {
  constexpr mode_t kUsual = 022;
  constexpr std::string_view kField = "Umask:";
  std::ifstream in("/proc/self/status", std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with(kField)) continue;
    mode_t mask = 0;
    bool any = false;
    for (const char c : std::string_view(line).substr(kField.size())) {
      if (!any && (c == ' ' || c == '\t')) continue;
      if (c < '0' || c > '7') break;
      mask = mask * 8 + static_cast<mode_t>(c - '0');
      any = true;
    }
    return any ? mask & 0777 : kUsual;
  }
  return kUsual;
}

}  // namespace corv
