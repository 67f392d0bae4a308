// The build lock file of a directory, shared by every build of an output in
// it and never deleted. Whoever may create files in the directory may open
// it, whoever made it and whatever their umask, and nobody else may open it
// at all (lock_access.h). A lock file that is already there is used as it
// stands: it may be any file linked in, so a build changes nothing about it.
#pragma once

#include <filesystem>
#include <string_view>

#include "common/fd_io.h"
#include "common/status.h"

namespace corv::fullmap {

// Opens `dir`/`name` read-write, creating it when absent. A failure names
// the file, says why and, for one that is there, how to mend it.
Result<FileDescriptor> open_lock_file(const std::filesystem::path& dir, std::string_view name);

}  // namespace corv::fullmap
