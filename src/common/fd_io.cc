#include "common/fd_io.h"

#include <unistd.h>

#include <cerrno>

namespace corv {

Status write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_io(errno);
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return {};
}

}  // namespace corv
