#include "fullmap/store/fault_guard.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "common/fd_io.h"

namespace corv::fullmap {
namespace {

struct Guard {
  sigjmp_buf resume;
};

// The guard of the read this thread is making, or null. The handler reads
// only this: initial-exec, it is reached without __tls_get_addr, which on a
// thread's first touch of a dlopen'ed module's block calls malloc, and a
// fault inside malloc holds the lock that call would wait on.
[[gnu::tls_model("initial-exec")]] constinit thread_local Guard* volatile t_armed = nullptr;

// The guard's jump buffer is too large for the little static TLS a dlopen'ed
// module may take; reached only by the thread that reads, before it arms.
thread_local Guard t_guard;

// The handler we replaced. We stay installed, so the kernel never resets a
// one-shot one (SA_RESETHAND) as it delivers; `spent` does, once for all
// threads, and from then on the signal takes its default action.
struct Previous {
  struct sigaction action;
  std::atomic<bool> spent{false};
};

Previous g_previous_segv;
Previous g_previous_bus;
Previous g_previous_fpe;
std::once_flag g_installed;

Previous& previous_for(int signo) {
  return signo == SIGBUS ? g_previous_bus : signo == SIGFPE ? g_previous_fpe : g_previous_segv;
}

// raise(), pthread_kill() and tgkill() aim at one thread; another handler
// that ran first (Python's faulthandler) passes a fault on this way.
bool raised_by_this_process(const siginfo_t* info) {
  return info != nullptr && info->si_code == SI_TKILL && info->si_pid == ::getpid();
}

// Runs a handler as the kernel would have: with its mask, and the signal
// itself unless SA_NODEFER, blocked while it runs.
void deliver(const struct sigaction& action, int signo, siginfo_t* info, void* context) {
  sigset_t blocked = action.sa_mask;
  if (!(action.sa_flags & SA_NODEFER)) sigaddset(&blocked, signo);
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &blocked, &before);
  if (action.sa_flags & SA_SIGINFO) {
    action.sa_sigaction(signo, info, context);
  } else {
    action.sa_handler(signo);
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// Hands a signal that is not a guarded read's to the handler we replaced.
// Only the default action (and ignoring a fault, which the kernel turns into
// it) needs a disposition other than ours back, and that ends the process.
void pass_on(int signo, siginfo_t* info, void* context, bool from_instruction) {
  Previous& previous = previous_for(signo);
  struct sigaction action = previous.action;
  const bool handled = (action.sa_flags & SA_SIGINFO) || (action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN);
  if (handled && (action.sa_flags & SA_RESETHAND) && previous.spent.exchange(true)) {
    action = {};
    action.sa_handler = SIG_DFL;
  } else if (handled) {
    deliver(action, signo, info, context);
    return;
  }
  if (from_instruction) {
    // Returning runs the instruction again, to fault under the old one.
    sigaction(signo, &action, nullptr);
  } else if (action.sa_handler == SIG_DFL) {
    sigaction(signo, &action, nullptr);
    raise(signo);
  }  // an ignored signal that was sent stays ignored
}

void on_fault(int signo, siginfo_t* info, void* context) {
  const bool from_instruction = info == nullptr || info->si_code > 0;
  Guard* const guard = t_armed;
  if (guard != nullptr && (from_instruction || raised_by_this_process(info))) {
    t_armed = nullptr;
    // The jump skips the return through the kernel that would restore the
    // mask of the faulting read, and a handler that ran before ours (or a
    // runtime that wraps ours, as TSan does) may have blocked more, the
    // signal itself included; the resume point does not restore it.
    sigset_t mask;
    if (context != nullptr) {
      mask = static_cast<const ucontext_t*>(context)->uc_sigmask;
    } else {
      pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    }
    sigdelset(&mask, signo);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    siglongjmp(guard->resume, 1);
  }
  pass_on(signo, info, context, from_instruction);
}

void on_assert(MDB_env*, const char*) {
  if (Guard* const guard = t_armed) {
    t_armed = nullptr;
    siglongjmp(guard->resume, 1);
  }
  // Returning lets LMDB print the assertion and abort.
}

void install() {
  struct sigaction action = {};
  action.sa_sigaction = on_fault;
  // SA_NODEFER lets a handler we pass a fault on to raise it again to us.
  // The mask is put back from the fault's context only when a read faults,
  // not saved on every read (a system call each).
  action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &g_previous_segv.action);
  sigaction(SIGBUS, &action, &g_previous_bus.action);
  sigaction(SIGFPE, &action, &g_previous_fpe.action);
}

template <class Read>
int run_guarded(Read&& read) {
  std::call_once(g_installed, install);
  Guard& guard = t_guard;
  t_armed = nullptr;
  if (sigsetjmp(guard.resume, 0) != 0) return MDB_CORRUPTED;
  t_armed = &guard;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const int rc = read();
  std::atomic_signal_fence(std::memory_order_seq_cst);
  t_armed = nullptr;
  return rc;
}

bool holds(const MappedFile& map, const MDB_val& v) { return map.contains(v.mv_data, v.mv_size); }

// Reads of memory that a damaged page may have pointed anywhere, made under
// the guard; they are not ours, so the sanitizer must not judge them.
// LMDB heads every page with its number (a size_t).
__attribute__((no_sanitize("address"))) uint64_t read_page_number(uintptr_t page) {
  return *reinterpret_cast<const volatile size_t*>(page);
}

__attribute__((no_sanitize("address"))) bool same_bytes(const char* memory, std::string_view file) {
  for (size_t i = 0; i < file.size(); ++i) {
    if (memory[i] != file[i]) return false;
  }
  return true;
}

}  // namespace

Result<std::optional<MappedFile>> find_mapping(const void* inside, int fd, uint64_t file_bytes, size_t page_bytes) {
  if (page_bytes == 0 || file_bytes / page_bytes < 2) return std::nullopt;
  std::string head(2 * page_bytes, '\0');
  std::string tail(page_bytes, '\0');
  auto head_read = read_full_at(fd, 0, head.data(), head.size());
  if (!head_read) return std::unexpected(std::move(head_read.error()));
  auto tail_read = read_full_at(fd, file_bytes - page_bytes, tail.data(), tail.size());
  if (!tail_read) return std::unexpected(std::move(tail_read.error()));
  if (*head_read != head.size() || *tail_read != tail.size()) return std::nullopt;

  // mmap starts the mapping at a multiple of the system's page, so the
  // file's pages start at multiples of the smaller of the two sizes; with
  // pages larger than the system's, any of those within a page may be it.
  const size_t step = std::min(page_bytes, static_cast<size_t>(::sysconf(_SC_PAGESIZE)));
  const uintptr_t target = reinterpret_cast<uintptr_t>(inside);
  const uintptr_t nearest = target / step * step;
  for (size_t back = 0; back < page_bytes && back <= nearest; back += step) {
    const uintptr_t page = nearest - back;
    uint64_t number = 0;
    const int read = run_guarded([&] {
      number = read_page_number(page);
      return 0;
    });
    if (read != 0) continue;
    if (number >= file_bytes / page_bytes || number * page_bytes > page) continue;
    const uintptr_t begin = page - number * page_bytes;
    if (target - begin >= file_bytes || begin > UINTPTR_MAX - file_bytes) continue;
    // The meta pages at the start and the last page at the end read as the
    // file does: the candidate is the mapping, not a page that lies about
    // its number.
    const auto* base = reinterpret_cast<const char*>(begin);
    const int rc = run_guarded(
        [&] { return same_bytes(base, head) && same_bytes(base + file_bytes - page_bytes, tail) ? 0 : MDB_NOTFOUND; });
    if (rc == 0) return MappedFile{base, file_bytes};
  }
  return std::nullopt;
}

int guarded_get(MDB_txn* txn, MDB_dbi dbi, MDB_val* key, MDB_val* value) {
  return run_guarded([=] { return mdb_get(txn, dbi, key, value); });
}

int guarded_get_copy(MDB_txn* txn, MDB_dbi dbi, MDB_val* key, MDB_val* value, const MappedFile& map, char* room,
                     size_t room_bytes, bool* copied) {
  *copied = false;
  return run_guarded([=] {
    const int rc = mdb_get(txn, dbi, key, value);
    if (rc != 0) return rc;
    if (!holds(map, *value)) return MDB_CORRUPTED;
    if (value->mv_size <= room_bytes) {
      std::memcpy(room, value->mv_data, value->mv_size);
      *copied = true;
    }
    return 0;
  });
}

int guarded_cursor_get(MDB_cursor* cursor, MDB_val* key, MDB_val* value, MDB_cursor_op op, const MappedFile& map) {
  const int rc = run_guarded([=] { return mdb_cursor_get(cursor, key, value, op); });
  if (rc != 0) return rc;
  return holds(map, *key) && holds(map, *value) ? 0 : MDB_CORRUPTED;
}

int guarded_dbi_open(MDB_txn* txn, const char* name, unsigned flags, MDB_dbi* dbi) {
  return run_guarded([=] { return mdb_dbi_open(txn, name, flags, dbi); });
}

// mdb_txn_begin and mdb_cursor_open allocate before they read, and a jump
// out of them would lose that. mdb_env_info reads the same meta pages, and
// mdb_stat refreshes a table's record with a cursor on the stack, so a fault
// meets them first; one after them takes a file changing in between.
int guarded_read_txn_begin(MDB_env* env, MDB_txn** txn) {
  return run_guarded([=] {
    MDB_envinfo info;
    if (int rc = mdb_env_info(env, &info)) return rc;
    return mdb_txn_begin(env, nullptr, MDB_RDONLY, txn);
  });
}

int guarded_cursor_open(MDB_txn* txn, MDB_dbi dbi, MDB_cursor** cursor) {
  return run_guarded([=] {
    MDB_stat stat;
    if (int rc = mdb_stat(txn, dbi, &stat)) return rc;
    return mdb_cursor_open(txn, dbi, cursor);
  });
}

int guarded_env_open(MDB_env* env, const char* path, unsigned flags) {
  return run_guarded([=] { return mdb_env_open(env, path, flags, 0); });
}

int guarded_copy(void* to, const void* from, size_t bytes) {
  return run_guarded([=] {
    std::memcpy(to, from, bytes);
    return 0;
  });
}

void guard_assertions(MDB_env* env) { mdb_env_set_assert(env, on_assert); }

}  // namespace corv::fullmap
