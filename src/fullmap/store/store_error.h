// Error texts of the store layer. Failures reported by LMDB keep LMDB's own
// text (mdb_strerror), operating-system errors that it passes on read like
// every other OS error (Error::io); the layer's own failures use the texts
// below or a sentence of their own.
#pragma once

#include <string_view>

#include "common/status.h"

namespace corv::fullmap {

// A file that is not of this store's format or version (another program's
// file, an older release, random bytes, an empty file left by a crash).
inline constexpr std::string_view kOutdatedOrNeedsRepair =
    "fullmap DB is outdated or needs repair; rebuild with 'corvantile build-fullmap'";

// A file that a writer still holds.
inline constexpr std::string_view kLockedByWriter = "database file is locked by a writer";

// The error of an LMDB return code: LMDB's text for its own codes, the
// "(os error N)" form for an errno.
Error store_error(int rc);

}  // namespace corv::fullmap
