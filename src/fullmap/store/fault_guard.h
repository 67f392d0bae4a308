// LMDB trusts the pages it maps: in a damaged file a node offset or length
// can send it outside the mapping, where it faults or trips one of its
// assertions (which abort), or make it return bytes that lie elsewhere.
// These wrappers run one LMDB call with a guard armed against SIGSEGV,
// SIGBUS, SIGFPE and those assertions, and check that what a read returned
// lies within the file; either failure becomes MDB_CORRUPTED instead of a
// dead process or a wild pointer. What a read returned is copied out under
// the guard as well, and only the copy is decoded: a file cut short or
// rewritten under the mapping faults wherever its pages were.
//
// Only LMDB's C frames, memcpy and the wrapper's own lie between the guard
// and a fault, so jumping back skips no destructor. Nor does it lose memory: a
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

// The value is not checked: for the read that finds where the file lies.
int guarded_get(MDB_txn* txn, MDB_dbi dbi, MDB_val* key, MDB_val* value);
// A point get whose value must lie within `map`. Under the same guard it is
// copied to `room` when it fits there (*copied is then set); a larger one is
// left for guarded_copy.
int guarded_get_copy(MDB_txn* txn, MDB_dbi dbi, MDB_val* key, MDB_val* value, const MappedFile& map, char* room,
                     size_t room_bytes, bool* copied);
int guarded_cursor_get(MDB_cursor* cursor, MDB_val* key, MDB_val* value, MDB_cursor_op op, const MappedFile& map);
int guarded_dbi_open(MDB_txn* txn, const char* name, unsigned flags, MDB_dbi* dbi);
// Beginning a transaction reads the meta pages; opening a cursor on a table
// that an earlier transaction opened reads its record in the main table.
int guarded_read_txn_begin(MDB_env* env, MDB_txn** txn);
int guarded_cursor_open(MDB_txn* txn, MDB_dbi dbi, MDB_cursor** cursor);
// Opening divides by the page size of whatever file LMDB finds at `path`.
// A fault leaves the environment for mdb_env_close to release.
int guarded_env_open(MDB_env* env, const char* path, unsigned flags);

// Copies `bytes` bytes of a read's key or value out of the mapping. A file
// cut short under the mapping faults where its pages used to be, also past
// what LMDB read to find them (a value's overflow pages); that becomes
// MDB_CORRUPTED. Only memcpy runs under the guard: nothing to unwind.
int guarded_copy(void* to, const void* from, size_t bytes);

// Routes the environment's failed assertions to the guard; an assertion
// outside a guarded call still aborts.
void guard_assertions(MDB_env* env);

}  // namespace corv::fullmap
