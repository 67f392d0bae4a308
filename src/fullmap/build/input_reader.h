// Input files of a build, plain or gzip-compressed: their bytes, and what
// counts in their lines.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

#include "common/byte_reader.h"
#include "common/status.h"

namespace corv::fullmap {

// Opens `path` for reading. A last component whose extension is exactly
// "gz" (case-sensitive) is decoded as gzip, first member only; anything else
// is read as it is. Fails only when the file cannot be opened.
Result<std::unique_ptr<ByteReader>> open_reader(const std::filesystem::path& path);

// A line less every CR and LF at its end.
inline std::string_view trim_line_end(std::string_view line) {
  while (line.ends_with('\n') || line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

// Whether a line holds only JSON white space and form feeds.
inline bool is_blank_line(std::string_view line) { return line.find_first_not_of(" \t\n\f\r") == line.npos; }

}  // namespace corv::fullmap
