// UTF-8 checks for stored text and lossy rendering of file names.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace corv::fullmap {

// The offset of the first byte that does not start a valid UTF-8 sequence,
// or nullopt when all of `bytes` is valid.
std::optional<size_t> first_invalid_utf8(std::string_view bytes);

// `bytes` with each maximal invalid subsequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace corv::fullmap
