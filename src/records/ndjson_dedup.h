// Rewrites an NDJSON file as canonical, null-stripped, de-duplicated lines.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "common/status.h"
#include "json/value.h"
#include "records/uuid.h"

namespace corv::records {

inline constexpr std::string_view kDefaultDomain = "CORVANTILE";

// Reads `input` line by line (LF, optionally CRLF), skips blank lines,
// parses each line as one JSON value, strips null-like members, gives edge
// records an "id" (the UUID of the stripped object in `domain`) and writes
// each record's compact JSON once, in first-occurrence order.
//
// On failure the output holds every line accepted before the failing one.
// Input and output naming the same file is refused before the output is
// touched.
Status dedup_ndjson(const std::filesystem::path& input, const std::filesystem::path& output, bool is_edges,
                    std::string_view domain);

// One parsed record, cleaned: nullopt when it is to be skipped (an object
// left without members). For edges a non-object fails with "expected JSON
// object"; an object gets "id" (replacing an existing one in place, else
// appended).
Result<std::optional<json::Value>> finalize_record(const json::Value& value, bool is_edges, const NameUuid& namer,
                                                   json::Arena& arena);

}  // namespace corv::records
