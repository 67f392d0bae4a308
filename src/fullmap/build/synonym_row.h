// One line of a synonym file.
//
//   {"curie"|"id": str|null, "names": [str], "types"|"categories": [str],
//    "taxa"|"taxon": [str], "preferred_name"|"name": str|null}
//
// Every member may be absent; other keys are skipped whatever their value.
// A JSON array is read by position in the order above (at most five
// elements). Errors carry the JSON reader's text and position, e.g.
// "duplicate field `curie` at line 1 column 19".
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"

namespace corv::fullmap {

// A list of owned strings that keeps its strings' storage across clear(),
// so decoding row after row into one SynonymRow allocates rarely.
class StringList {
 public:
  void clear() { size_ = 0; }
  void push_back(std::string_view text) {
    if (size_ < items_.size()) {
      items_[size_].assign(text);
    } else {
      items_.emplace_back(text);
    }
    ++size_;
  }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const std::string& operator[](size_t i) const { return items_[i]; }
  std::span<const std::string> items() const { return {items_.data(), size_}; }
  auto begin() const { return items_.begin(); }
  auto end() const { return items_.begin() + static_cast<std::ptrdiff_t>(size_); }

 private:
  std::vector<std::string> items_;
  size_t size_ = 0;
};

struct SynonymRow {
  bool has_curie = false;  // false for an absent or null "curie"
  std::string curie;
  StringList names;
  StringList types;
  StringList taxa;
  bool has_preferred_name = false;  // false for an absent or null name
  std::string preferred_name;

  void clear();
};

// Decodes `line` (one JSON value, white space around it allowed) into
// `row`, replacing its contents. On failure `row` is unspecified.
Status decode_synonym_row(std::string_view line, SynonymRow& row);

}  // namespace corv::fullmap
