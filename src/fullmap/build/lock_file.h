// The build lock file of a directory, shared by every build of an output in
// it and never deleted. Whoever may create files in the directory may open
// it for writing, whoever made it and whatever their umask: it takes the
// directory's write permissions, and its owner (when root makes it) and
// group. Nobody who may not write the directory may write it.
#pragma once

#include <filesystem>
#include <string_view>

#include "common/fd_io.h"
#include "common/status.h"

namespace corv::fullmap {

// Opens `dir`/`name` read-write, creating it when absent. A failure names
// the file and says why.
Result<FileDescriptor> open_lock_file(const std::filesystem::path& dir, std::string_view name);

}  // namespace corv::fullmap
