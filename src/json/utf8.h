// UTF-8 well-formedness (RFC 3629: no overlongs, no surrogates, nothing
// above U+10FFFF).
#pragma once

#include <cstddef>
#include <string_view>

namespace corv::json {

bool is_valid_utf8(const char* data, size_t size);
inline bool is_valid_utf8(std::string_view s) { return is_valid_utf8(s.data(), s.size()); }

}  // namespace corv::json
