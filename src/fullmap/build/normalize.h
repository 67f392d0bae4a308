// Turning indexed texts (names, CURIEs, equivalent identifiers) into the
// exact term bytes stored in the shards. Lookups apply no transformation of
// their own, so a term is only findable in the form produced here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "fullmap/build/term_map.h"

namespace corv::fullmap {

// Trims Unicode white space and strips enclosing quotes (" or '), repeatedly
// until nothing changes. A doubled leading quote loses one byte per pass.
// Returns a sub-range of `text`; never copies.
std::string_view clean_slice(std::string_view text);

// Lower-cases `text`. All-ASCII text maps only A-Z and comes back as `text`
// itself when it has no upper-case letter; anything else gets the full
// Unicode mapping (final sigma, one-to-many mappings). The result is either
// `text` or a view of `scratch`, valid until `scratch` changes.
std::string_view lower_case(std::string_view text, std::string& scratch);

// False for empty text, text holding a tab, LF or CR, or text containing
// "inchikey", "uncharacterized" or "hypothetical".
bool token_qc(std::string_view text);

// True for empty text, all-digit text and the placeholder words (na, null,
// not applicable, ...). Byte-exact: apply to lower-cased text.
bool is_dead_term(std::string_view text);

// The punctuation-free form of a lower-cased term: only ASCII letters, digits
// and '_' are kept. Returns false (no form; `out` untouched) when the term
// already consists only of a-z, 0-9 and '_'; otherwise fills `out`.
bool level_two(std::string_view lowered, std::string& out);

// Records (curie_id, source_id) under the lower-cased term and, when it is
// distinct and acceptable, under its level-two form. Refused texts are
// silently skipped.
void emit_term(std::string_view term, uint32_t curie_id, uint8_t source_id, TermMap& map);

}  // namespace corv::fullmap
