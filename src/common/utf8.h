// UTF-8 validation (strict: no overlongs, surrogates or code points past
// U+10FFFF) and lossy rendering, shared by every layer.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace corv {

// The offset of the first byte that does not start a valid UTF-8 sequence,
// or nullopt when all of `bytes` is valid.
std::optional<size_t> first_invalid_utf8(std::string_view bytes);

inline bool is_valid_utf8(std::string_view bytes) { return !first_invalid_utf8(bytes); }

// The decoding error of the first invalid sequence in `bytes`, or nullopt
// when they are all valid: "invalid utf-8 sequence of {n} bytes from index
// {i}" ({n} the bytes of its maximal invalid subpart), or "incomplete utf-8
// byte sequence from index {i}" when the bytes end inside a sequence.
std::optional<std::string> utf8_error(std::string_view bytes);

// `bytes` with each maximal invalid subsequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace corv
