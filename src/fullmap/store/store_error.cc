#include "fullmap/store/store_error.h"

#include <lmdb.h>

#include <string>

namespace corv::fullmap {

Error store_error(int rc) { return Error::runtime(std::string(mdb_strerror(rc))); }

}  // namespace corv::fullmap
