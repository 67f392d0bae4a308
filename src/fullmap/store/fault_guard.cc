#include "fullmap/store/fault_guard.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>

#include <cinttypes>
#include <cstdio>
#include <mutex>

namespace corv::fullmap {
namespace {

struct Guard {
  sigjmp_buf resume;
  volatile sig_atomic_t armed = 0;
};

// Touched by the owning thread before it is armed, so the handler never
// triggers the lazy allocation of a dlopen'ed module's TLS block.
thread_local Guard t_guard;

struct sigaction g_previous_segv;
struct sigaction g_previous_bus;
std::once_flag g_installed;

void on_fault(int signo, siginfo_t*, void*) {
  Guard& guard = t_guard;
  if (guard.armed) {
    guard.armed = 0;
    // A runtime that wraps our handler in its own (as TSan does) may run it
    // with the signal blocked despite SA_NODEFER; the resume point does not
    // restore the mask, so unblock it here or the next fault kills us.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, signo);
    pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
    siglongjmp(guard.resume, 1);
  }
  // Not a guarded read: restore the previous disposition and return, so the
  // instruction faults again and is handled as if we had never been here.
  sigaction(signo, signo == SIGBUS ? &g_previous_bus : &g_previous_segv, nullptr);
}

void on_assert(MDB_env*, const char*) {
  Guard& guard = t_guard;
  if (guard.armed) {
    guard.armed = 0;
    siglongjmp(guard.resume, 1);
  }
  // Returning lets LMDB print the assertion and abort.
}

void install() {
  struct sigaction action = {};
  action.sa_sigaction = on_fault;
  // SA_NODEFER keeps the signal unblocked, so jumping out without saving
  // and restoring the mask on every read (a system call each) is enough.
  action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &g_previous_segv);
  sigaction(SIGBUS, &action, &g_previous_bus);
}

template <class Read>
int run_guarded(Read&& read) {
  std::call_once(g_installed, install);
  Guard& guard = t_guard;
  guard.armed = 0;
  if (sigsetjmp(guard.resume, 0) != 0) return MDB_CORRUPTED;
  guard.armed = 1;
  const int rc = read();
  guard.armed = 0;
  return rc;
}

bool holds(const MappedFile& map, const MDB_val& v) { return map.contains(v.mv_data, v.mv_size); }

}  // namespace

std::optional<MappedFile> find_mapping(const void* inside, uint64_t inode, uint64_t file_bytes) {
  std::FILE* maps = std::fopen("/proc/self/maps", "re");
  if (maps == nullptr) return std::nullopt;
  const auto target = reinterpret_cast<uintptr_t>(inside);
  std::optional<MappedFile> found;
  char line[4096];
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    uintptr_t start = 0, end = 0;
    uint64_t offset = 0, node = 0;
    if (std::sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %*s %" SCNx64 " %*s %" SCNu64, &start, &end, &offset, &node) !=
        4) {
      continue;
    }
    if (target < start || target >= end) continue;
    if (node == inode && offset == 0) found = MappedFile{reinterpret_cast<const char*>(start), file_bytes};
    break;
  }
  std::fclose(maps);
  return found;
}

int guarded_get(MDB_txn* txn, MDB_dbi dbi, MDB_val* key, MDB_val* value, const MappedFile* map) {
  const int rc = run_guarded([=] { return mdb_get(txn, dbi, key, value); });
  if (rc != 0 || map == nullptr) return rc;
  return holds(*map, *value) ? 0 : MDB_CORRUPTED;
}

int guarded_cursor_get(MDB_cursor* cursor, MDB_val* key, MDB_val* value, MDB_cursor_op op, const MappedFile& map) {
  const int rc = run_guarded([=] { return mdb_cursor_get(cursor, key, value, op); });
  if (rc != 0) return rc;
  return holds(map, *key) && holds(map, *value) ? 0 : MDB_CORRUPTED;
}

int guarded_dbi_open(MDB_txn* txn, const char* name, unsigned flags, MDB_dbi* dbi) {
  return run_guarded([=] { return mdb_dbi_open(txn, name, flags, dbi); });
}

void guard_assertions(MDB_env* env) { mdb_env_set_assert(env, on_assert); }

}  // namespace corv::fullmap
