// Trimming by the Unicode White_Space property, for judging whether a text
// is blank. Input must be valid UTF-8.
#pragma once

#include <string_view>

namespace corv::records {

std::string_view trim_unicode_space(std::string_view text);

}  // namespace corv::records
