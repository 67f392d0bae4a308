// The build lock file of a directory, shared by every build of an output in
// it and never deleted. Whoever may create files in the directory may open
// it, whoever made it and whatever their umask, and nobody else may open it
// at all (lock_access.h). A lock file that is already there is used as it
// stands: it may be any file linked in, so a build changes nothing about it.
#pragma once

#include <string>

#include "common/fd_io.h"
#include "common/held_directory.h"
#include "common/status.h"

namespace corv::fullmap {

// Opens `name` in the held directory `dir` read-write, creating it when
// absent. Every step goes through `dir`'s descriptor, so a directory renamed
// or replaced meanwhile never gets a lock file. A failure names the file,
// says why and, for one that is there, how to mend it.
Result<FileDescriptor> open_lock_file(const HeldDirectory& dir, const std::string& name);

}  // namespace corv::fullmap
