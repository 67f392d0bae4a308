// Rows of the class files: one class's id and its equivalent identifiers.
//
// A row is a JSON object with "id" (alias "curie": string or null) and
// "equivalent_identifiers" (array; default empty), or an array giving the
// two by position. Each identifier element is a string, or an object giving
// it under "identifier", "curie" or "id" (string or null), or an array of at
// most one such value; anything else fails the row with
// "data did not match any variant of untagged enum EquivId".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"

namespace corv::fullmap {

struct ClassRow {
  std::optional<std::string> id;
  // One slot per element, nullopt for an element without an identifier.
  std::vector<std::optional<std::string>> equivalent_identifiers;
};

// Decodes one line (already known to be UTF-8, line end removed) into
// `row`, reusing its storage. Errors end with " at line 1 column N".
Status decode_class_row(std::string_view line, ClassRow& row);

// The row's key (its id, else its first element's identifier) and its
// identifiers in order without repeats; the key is not removed from them.
// Returns false, leaving `key` and `ids` unspecified, when the row has no
// key. Moves strings out of `row`.
bool take_class_row_key(ClassRow& row, std::string& key, std::vector<std::string>& ids);

}  // namespace corv::fullmap
