#pragma once

#include <cstddef>

#include "common/status.h"

namespace corv {

// Writes all of `data` to `fd`, retrying short writes and EINTR.
Status write_all(int fd, const char* data, size_t size);

}  // namespace corv
