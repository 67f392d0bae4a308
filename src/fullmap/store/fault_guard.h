// LMDB trusts the pages it maps: in a damaged file a node offset or length
// can send it outside the mapping, where it faults or trips one of its
// assertions (which abort), or make it return bytes that lie elsewhere.
// These wrappers run one LMDB read with a guard armed against SIGSEGV,
// SIGBUS and those assertions, and check that what it returned lies within
// the file; either failure becomes MDB_CORRUPTED instead of a dead process
// or a wild pointer.
//
// Only LMDB's C frames and the wrapper's own lie between the guard and a
// fault, so jumping back skips no destructor. A fault anywhere else is
// handed back to the handler that was installed before ours.
#pragma once

#include <lmdb.h>

#include "fullmap/store/mapped_file.h"

namespace corv::fullmap {

// With `map` null, the returned key and value are not checked.
int guarded_get(MDB_txn* txn, MDB_dbi dbi, MDB_val* key, MDB_val* value, const MappedFile* map);
int guarded_cursor_get(MDB_cursor* cursor, MDB_val* key, MDB_val* value, MDB_cursor_op op, const MappedFile& map);
int guarded_dbi_open(MDB_txn* txn, const char* name, unsigned flags, MDB_dbi* dbi);

// Routes the environment's failed assertions to the guard; an assertion
// outside a guarded read still aborts.
void guard_assertions(MDB_env* env);

}  // namespace corv::fullmap
