#include "fullmap/store/store_error.h"

#include <lmdb.h>

#include <string>

namespace corv::fullmap {

Error store_error(int rc) {
  // LMDB's own codes are negative; a positive one is an errno it passed on.
  if (rc > 0) return Error::io(rc);
  return Error::runtime(std::string(mdb_strerror(rc)));
}

}  // namespace corv::fullmap
