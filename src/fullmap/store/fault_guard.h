// LMDB trusts the pages it maps: in a damaged file a node offset or length
// can send it outside the mapping, where it faults or trips one of its
// assertions (which abort), or make it return bytes that lie elsewhere.
// These wrappers run one LMDB call with a guard armed against SIGSEGV,
// SIGBUS, SIGFPE and those assertions, and check that what a read returned
// lies within the file; either failure becomes MDB_CORRUPTED instead of a
// dead process or a wild pointer.
//
// Only LMDB's C frames and the wrapper's own lie between the guard and a
// fault, so jumping back skips no destructor. Nor does it lose memory: a
// faulting open leaves what it allocated to mdb_env_close, and the calls
// that allocate before they read (beginning a transaction, opening a
// cursor) come after a guarded read of the same pages that allocates
// nothing. A signal that is no guarded read's, or that another process
// sent, goes on to the handler that was installed before ours as the kernel
// would deliver it: with its mask blocked, and a one-shot handler reset to
// the default action. Ours stays installed for the reads that come later.
#pragma once

#include <lmdb.h>

#include "fullmap/store/mapped_file.h"

namespace corv::fullmap {

// With `map` null, the returned key and value are not checked.
int guarded_get(MDB_txn* txn, MDB_dbi dbi, MDB_val* key, MDB_val* value, const MappedFile* map);
int guarded_cursor_get(MDB_cursor* cursor, MDB_val* key, MDB_val* value, MDB_cursor_op op, const MappedFile& map);
int guarded_dbi_open(MDB_txn* txn, const char* name, unsigned flags, MDB_dbi* dbi);
// Beginning a transaction reads the meta pages; opening a cursor on a table
// that an earlier transaction opened reads its record in the main table.
int guarded_read_txn_begin(MDB_env* env, MDB_txn** txn);
int guarded_cursor_open(MDB_txn* txn, MDB_dbi dbi, MDB_cursor** cursor);
// Opening divides by the page size of whatever file LMDB finds at `path`.
// A fault leaves the environment for mdb_env_close to release.
int guarded_env_open(MDB_env* env, const char* path, unsigned flags);

// Routes the environment's failed assertions to the guard; an assertion
// outside a guarded call still aborts.
void guard_assertions(MDB_env* env);

}  // namespace corv::fullmap
