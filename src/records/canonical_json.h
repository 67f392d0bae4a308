// Canonical record form: null-like members removed, then compact JSON
// whose bytes are the record's identity for de-duplication.
#pragma once

#include <string>

#include "json/value.h"

namespace corv::records {

// Drops the members of an object whose value is null, a blank or null-like
// string ("null", "none", "nan", "na" in any ASCII case, surrounded by any
// Unicode white space), an empty array or an empty object, recursing into
// member objects and into the objects directly inside member arrays.
// Anything that is not an object comes back unchanged. The result shares
// unchanged parts with `value`; new storage comes from `arena`.
json::Value strip_nulls(const json::Value& value, json::Arena& arena);

// Compact JSON: no white space, members in their own order, minimal string
// escapes, shortest round-trip floats ("1.0", "1e+16", "1.5e-7").
void append_compact_json(const json::Value& value, std::string& out);
std::string stable_json_bytes(const json::Value& value);

// Number text as in append_compact_json.
void append_number(json::Number n, std::string& out);

}  // namespace corv::records
