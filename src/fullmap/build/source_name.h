// The source name of a synonym file: its stem, less any ".ndjson" ending.
#pragma once

#include <filesystem>
#include <string>

namespace corv::fullmap {

// "data/foo.ndjson", "data/foo.ndjson.gz" and "other/foo.txt" all give
// "foo". A path without a last component, or whose stem is not UTF-8,
// gives "BABEL". Never fails.
std::string source_name(const std::filesystem::path& path);

}  // namespace corv::fullmap
