// Canonical bytes of an edge record with its "id", in one pass.
#pragma once

#include <string>

#include "json/value.h"
#include "records/uuid.h"

namespace corv::records {

// Appends the compact JSON of `object` (already stripped of null-like
// members) with "id" set to the object's name-based UUID: an existing "id"
// keeps its place, otherwise "id" comes last. Same bytes as
// finalize_record followed by append_compact_json; each member value is
// serialised once and shared by the UUID name and the output.
void append_edge_record(const json::Value& object, const NameUuid& namer, std::string& out);

}  // namespace corv::records
