// A worker's term map: normalised term -> postings in emission order.
// Duplicates are kept here; the spill sorts and de-duplicates.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"

namespace corv::fullmap {

struct Posting {
  uint32_t curie_id = 0;
  uint8_t source_id = 0;
  friend auto operator<=>(const Posting&, const Posting&) = default;
};

using TermMap = absl::flat_hash_map<std::string, std::vector<Posting>>;

}  // namespace corv::fullmap
