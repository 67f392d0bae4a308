#include "common/status.h"

#include <cstring>
#include <string>

namespace corv {

Error Error::io(int errnum) {
  // strerror_r (GNU) may return a static string instead of filling buf.
  char buf[256];
  const char* text = strerror_r(errnum, buf, sizeof buf);
  Error error = runtime(std::string(text) + " (os error " + std::to_string(errnum) + ")");
  error.os_error = errnum;
  return error;
}

}  // namespace corv
