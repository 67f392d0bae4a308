// Version text of the source data behind every fullmap; also the
// SOURCE_VERSION of each looked-up record.
#pragma once

#include <string_view>

namespace corv {

inline constexpr std::string_view kFullmapSourceVersion = "2026jul22";

}  // namespace corv
