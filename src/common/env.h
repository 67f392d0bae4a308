#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace corv {

// Parses an unsigned decimal count: one optional leading '+', then ASCII
// digits only, at most 2^64-1. Anything else is nullopt.
std::optional<unsigned long long> parse_u64_decimal(std::string_view text);

// Reads an unsigned count setting from the environment, afresh on every
// call. Unset, non-UTF-8 or unparsable values give `fallback`.
size_t env_usize(const char* name, size_t fallback);

}  // namespace corv
