// The process's file mode creation mask, read without changing it: umask(2)
// can only be read by setting it, and another thread creating a file
// meanwhile would get the wrong mode.
#pragma once

#include <sys/types.h>

namespace corv {

// The "Umask:" figure of /proc/self/status; 022 where /proc is missing or
// the kernel does not report it.
mode_t process_umask();

}  // namespace corv
