#include "fullmap/store/writable_database.h"

#include <fcntl.h>
#include <lmdb.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "common/fd_io.h"
#include "common/fork_closed.h"
#include "common/process_umask.h"
#include "common/utf8.h"
#include "fullmap/store/read_only_database.h"
#include "fullmap/store/store_directory.h"
#include "fullmap/store/store_error.h"

namespace corv::fullmap {

namespace {

constexpr size_t kMiB = size_t{1} << 20;
constexpr size_t kMinWriteOutBytes = 4 * kMiB;
// The map reserves four times the write-out size. A budget beyond what a
// process can map would make every create fail, so a larger one is no limit
// in practice: the transaction then writes out every 64 GiB.
constexpr size_t kMaxWriteOutBytes = size_t{64} << 30;
constexpr int kTempNameAttempts = 16;
// Per put, beyond the key and value: LMDB's node header and slot.
constexpr size_t kPutOverhead = 16;

size_t round_up_mib(size_t n) { return (n + kMiB - 1) / kMiB * kMiB; }

MDB_val as_val(std::string_view s) { return MDB_val{s.size(), const_cast<char*>(s.data())}; }

bool same_file(int a, int b) {
  auto fa = file_info(a);
  auto fb = file_info(b);
  return fa && fb && fa->same_file(*fb);
}

// The room a temporary name takes beyond its prefix: 16 hex digits now,
// "<pid>-<counter>" from earlier releases. The larger keeps every release's
// prefix of a name the same, so the leftovers of each are recognised.
constexpr size_t kTempRandomDigits = 16;
constexpr size_t kTempSuffixMax = 10 + 1 + 20;
static_assert(kTempRandomDigits <= kTempSuffixMax);

// Hidden temporaries of `name` start with ".<name>.tmp-"; where that would
// not fit in a directory entry, the name's hash stands in for it, so any
// final name that fits has temporaries that fit.
std::string temp_prefix(const std::string& name) {
  constexpr std::string_view kDot = ".", kTmp = ".tmp-";
  std::string prefix(kDot);
  if (kDot.size() + name.size() + kTmp.size() + kTempSuffixMax <= NAME_MAX) {
    prefix += name;
  } else {
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016" PRIx64, XXH64(name.data(), name.size(), 0));
    prefix += hex;
  }
  prefix += kTmp;
  return prefix;
}

// A name beside `name` that no reader looks for and nobody can take first:
// its random part is drawn afresh on every call.
Result<std::string> temp_name_for(const std::string& name) {
  uint64_t bits = 0;
  for (size_t got = 0; got < sizeof bits;) {
    const ssize_t n = ::getrandom(reinterpret_cast<char*>(&bits) + got, sizeof bits - got, 0);
    if (n < 0 && errno != EINTR) return fail_io(errno);
    if (n > 0) got += static_cast<size_t>(n);
  }
  char hex[kTempRandomDigits + 1];
  std::snprintf(hex, sizeof hex, "%016" PRIx64, bits);
  return temp_prefix(name) + hex;
}

bool is_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool is_random_part(std::string_view s) {
  return s.size() == kTempRandomDigits &&
         std::all_of(s.begin(), s.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

// Whether `entry` is "<prefix><16 hex digits>", or "<prefix><digits>-<digits>"
// as earlier releases named them.
bool is_temp_of(std::string_view entry, std::string_view prefix) {
  if (!entry.starts_with(prefix)) return false;
  entry.remove_prefix(prefix.size());
  if (is_random_part(entry)) return true;
  const size_t dash = entry.find('-');
  return dash != std::string_view::npos && is_digits(entry.substr(0, dash)) && is_digits(entry.substr(dash + 1));
}

// Removes the file it names unless it was published.
struct TempFile {
  const HeldDirectory& dir;
  std::string name;
  bool created = false;
  ~TempFile() {
    if (created) (void)dir.remove_file(name);
  }
};

// A file at `name` that another writer still holds stays: two builds of one
// output must not silently publish over each other. Only a writer's lock
// counts, which needs write access; anything but a regular file there, a
// link among them, has no writer, and the rename replaces it. Never through
// a link: whatever it leads to is not ours to open, and opening a FIFO
// would wake its writer.
Status refuse_live_writer(const HeldDirectory& dir, const std::string& name) {
  auto fd = dir.open_file(name);
  if (!fd) return {};
  auto locked = try_lock_file(fd->get(), LockMode::kShared);
  if (locked && !*locked) return fail_runtime(std::string(kLockedByWriter));
  return {};
}

// What the file is opened by in LMDB: our own descriptor where /proc shows
// it, so that LMDB opens the very file we created and locked, whatever
// takes its name meanwhile. Without /proc, by name; the same-file check
// then catches a swap, but only after LMDB has opened what it found, and
// not at LMDB's second open by name (for its meta pages), whose descriptor
// it keeps to itself.
std::string lmdb_path(const HeldDirectory& dir, const std::string& name, int fd) {
  if (auto own = readable_proc_fd_path(fd)) return *own;
  return dir.display(name).string();
}

}  // namespace

struct WritableDatabase::Impl {
  std::filesystem::path path;
  MDB_env* env = nullptr;
  ForkClosedDescriptor lock;  // closed after the environment; never a forked child's
  MDB_dbi directory = 0;
  size_t write_out_bytes = kMinWriteOutBytes;
  std::atomic<bool> writing{false};
  std::vector<detail::TableEntry> tables;

  ~Impl() {
    if (env != nullptr) mdb_env_close(env);
    // Explicitly, so that no other copy of the descriptor keeps every
    // reader out.
    if (lock.valid()) {
      unlock_bytes(lock.get());
      unlock(lock.get());
    }
  }

  // Keeps the map big enough for the next transaction: it may rewrite every
  // used page once (copy-on-write) and add about write_out_bytes of new
  // entries, page splits included.
  Status ensure_headroom() {
    MDB_envinfo info;
    MDB_stat stat;
    if (int rc = mdb_env_info(env, &info)) return std::unexpected(store_error(rc));
    if (int rc = mdb_env_stat(env, &stat)) return std::unexpected(store_error(rc));
    const size_t used = (info.me_last_pgno + 1) * size_t{stat.ms_psize};
    const size_t need = 2 * used + 4 * write_out_bytes + 64 * kMiB;
    if (need <= info.me_mapsize) return {};
    const size_t grown = round_up_mib(std::max(need, info.me_mapsize + info.me_mapsize / 2));
    if (int rc = mdb_env_set_mapsize(env, grown)) return std::unexpected(store_error(rc));
    return {};
  }

  const detail::TableEntry* table_by_dbi(MDB_dbi dbi) const {
    for (const auto& t : tables) {
      if (t.dbi == dbi) return &t;
    }
    return nullptr;
  }
};

namespace detail {

struct WriteState {
  WritableDatabase::Impl* db = nullptr;
  MDB_txn* txn = nullptr;
  std::vector<MDB_cursor*> cursors;  // by dbi, opened on first put
  size_t tables_before = 0;          // tables known before the current LMDB txn
  size_t pending_bytes = 0;
  bool failed = false;

  ~WriteState() {
    if (txn != nullptr) {
      mdb_txn_abort(txn);  // also frees the cursors
      // Tables created by the aborted LMDB transaction no longer exist.
      db->tables.resize(tables_before);
    }
    if (db != nullptr) db->writing.store(false, std::memory_order_release);
  }

  Status dead() const { return fail_runtime("write transaction failed earlier; it can only be dropped"); }

  std::unexpected<Error> fail_with(int rc) {
    failed = true;
    return std::unexpected(store_error(rc));
  }

  Result<MDB_cursor*> cursor(MDB_dbi dbi) {
    if (dbi >= cursors.size()) cursors.resize(dbi + 1, nullptr);
    if (cursors[dbi] == nullptr) {
      if (int rc = mdb_cursor_open(txn, dbi, &cursors[dbi])) return std::unexpected(store_error(rc));
    }
    return cursors[dbi];
  }

  void close_cursors() {
    for (MDB_cursor*& c : cursors) {
      if (c != nullptr) mdb_cursor_close(c);
      c = nullptr;
    }
  }

  // Writes what the transaction holds into the file and goes on in a new
  // LMDB transaction, so that dirty pages never pile up in memory.
  Status write_out() {
    close_cursors();
    MDB_txn* done = std::exchange(txn, nullptr);
    if (int rc = mdb_txn_commit(done)) {
      db->tables.resize(tables_before);
      return fail_with(rc);
    }
    tables_before = db->tables.size();
    pending_bytes = 0;
    if (auto s = db->ensure_headroom(); !s) {
      failed = true;
      return s;
    }
    if (int rc = mdb_txn_begin(db->env, nullptr, 0, &txn)) return fail_with(rc);
    return {};
  }
};

Status write_put(WriteState* state, unsigned dbi, std::string_view key, std::string_view value, bool value_is_text,
                 bool append) {
  if (state->failed || state->txn == nullptr) return state->dead();
  if (value_is_text) {
    if (auto bad = first_invalid_utf8(value)) {
      const TableEntry* t = state->db->table_by_dbi(dbi);
      return fail_runtime("text value for table \"" + (t ? t->name : std::string("?")) +
                          "\" is not valid UTF-8 (bad byte at offset " + std::to_string(*bad) + ")");
    }
  }
  auto cursor = state->cursor(dbi);
  if (!cursor) return state->fail_with(MDB_BAD_TXN);
  MDB_val k = as_val(key);
  MDB_val v = as_val(value);
  int rc = mdb_cursor_put(*cursor, &k, &v, append ? MDB_APPEND : 0);
  if (rc == MDB_KEYEXIST && append) {
    // Not above the table's last key: an ordinary replacing insert.
    k = as_val(key);
    v = as_val(value);
    rc = mdb_cursor_put(*cursor, &k, &v, 0);
  }
  if (rc != 0) return state->fail_with(rc);
  state->pending_bytes += key.size() + value.size() + kPutOverhead;
  if (state->pending_bytes >= state->db->write_out_bytes) return state->write_out();
  return {};
}

}  // namespace detail

WritableDatabase::WritableDatabase(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
WritableDatabase::WritableDatabase(WritableDatabase&&) noexcept = default;
WritableDatabase& WritableDatabase::operator=(WritableDatabase&& other) noexcept {
  if (this != &other) {
    (void)close();
    impl_ = std::move(other.impl_);
  }
  return *this;
}
WritableDatabase::~WritableDatabase() { (void)close(); }

const std::filesystem::path& WritableDatabase::path() const { return impl_->path; }

Result<WritableDatabase> WritableDatabase::create(const std::filesystem::path& path, size_t write_budget_bytes) {
  const std::filesystem::path parent = path.parent_path();
  auto dir = HeldDirectory::open(parent.empty() ? std::filesystem::path(".") : parent);
  if (!dir) return fail(std::move(dir.error()));
  return create(*dir, path.filename().native(), write_budget_bytes);
}

Result<WritableDatabase> WritableDatabase::create(const HeldDirectory& dir, const std::string& name,
                                                  size_t write_budget_bytes) {
  auto impl = std::make_unique<Impl>();
  impl->path = dir.display(name);
  impl->write_out_bytes = std::clamp(write_budget_bytes, kMinWriteOutBytes, kMaxWriteOutBytes);

  // The file is made under a name nobody reads and appears at `name` only
  // once it is locked and initialised, so a reader never meets it empty.
  // Nobody else may open it before its locks are taken: a reader's lock
  // taken first would keep ours out.
  TempFile temp{dir, {}};
  for (int attempt = 0;; ++attempt) {
    auto temp_name = temp_name_for(name);
    if (!temp_name) return fail(std::move(temp_name.error()));
    temp.name = std::move(*temp_name);
    auto fd = dir.create_new(temp.name, 0600);
    if (!fd) return fail(std::move(fd.error()));
    if (*fd) {
      impl->lock = ForkClosedDescriptor(std::move(**fd));
      break;
    }
    if (attempt == kTempNameAttempts) return fail_io(EEXIST);
  }
  temp.created = true;
  // The description's lock is the one readers heed; the flock is for
  // readers of earlier releases.
  for (auto take : {try_lock_file, try_lock}) {
    auto locked = take(impl->lock.get(), LockMode::kExclusive);
    if (!locked) return fail(std::move(locked.error()));
    if (!*locked) return fail_io(EWOULDBLOCK);
  }
  // The usual mode from here on. The umask is read, not set: umask() would
  // race with other threads creating files. Where modes cannot be changed
  // the file only stays narrower.
  (void)::fchmod(impl->lock.get(), 0644 & ~process_umask());

  if (int rc = mdb_env_create(&impl->env)) return std::unexpected(store_error(rc));
  if (int rc = mdb_env_set_maxdbs(impl->env, directory::kMaxTables)) {
    return std::unexpected(store_error(rc));
  }
  const size_t reservation = round_up_mib(4 * impl->write_out_bytes + 64 * kMiB);
  if (int rc = mdb_env_set_mapsize(impl->env, reservation)) return std::unexpected(store_error(rc));
  // No MDB_WRITEMAP: pages reach the file by pwrite, so the file grows with
  // its data instead of being sized to the map.
  const unsigned flags = MDB_NOSUBDIR | MDB_NOLOCK | MDB_NOSYNC;
  const std::string env_path = lmdb_path(dir, temp.name, impl->lock.get());
  if (int rc = mdb_env_open(impl->env, env_path.c_str(), flags, 0600)) {
    return std::unexpected(store_error(rc));
  }
  int env_fd = -1;
  if (mdb_env_get_fd(impl->env, &env_fd) != 0 || !same_file(env_fd, impl->lock.get())) {
    return fail_runtime("database file was replaced while it was being created");
  }
  // LMDB opens its read-write descriptor without close-on-exec; a program
  // started meanwhile must not keep the file open for writing.
  CORV_TRY(set_close_on_exec(env_fd));

  MDB_txn* txn = nullptr;
  if (int rc = mdb_txn_begin(impl->env, nullptr, 0, &txn)) return std::unexpected(store_error(rc));
  MDB_val k = as_val(directory::kFormatKey);
  MDB_val v = as_val(directory::kFormatVersion);
  int rc = mdb_dbi_open(txn, directory::kTableName, MDB_CREATE, &impl->directory);
  if (rc == 0) rc = mdb_put(txn, impl->directory, &k, &v, 0);
  if (rc != 0) {
    mdb_txn_abort(txn);
    return std::unexpected(store_error(rc));
  }
  if (int rc2 = mdb_txn_commit(txn)) return std::unexpected(store_error(rc2));
  // Replaces any file at `name`; handles open on that one keep reading it.
  CORV_TRY(refuse_live_writer(dir, name));
  CORV_TRY(dir.rename(temp.name, name));
  temp.created = false;
  return WritableDatabase(std::move(impl));
}

void remove_abandoned_temporaries(const HeldDirectory& dir, std::span<const std::string> names) {
  if (names.empty()) return;
  std::vector<std::string> prefixes;
  for (const auto& name : names) prefixes.push_back(temp_prefix(name));
  auto entries = dir.names();
  if (!entries) return;
  for (const auto& entry : *entries) {
    for (const auto& prefix : prefixes) {
      if (is_temp_of(entry, prefix)) {
        (void)dir.remove_file(entry);
        break;
      }
    }
  }
}

Result<WriteTransaction> WritableDatabase::begin_write() {
  if (impl_ == nullptr) return fail_runtime("database is closed");
  if (impl_->writing.exchange(true, std::memory_order_acq_rel)) {
    return fail_runtime("a write transaction is already open on this database");
  }
  auto state = std::make_unique<detail::WriteState>();
  state->db = impl_.get();  // from here on the state clears `writing`
  state->tables_before = impl_->tables.size();
  CORV_TRY(impl_->ensure_headroom());
  if (int rc = mdb_txn_begin(impl_->env, nullptr, 0, &state->txn)) {
    return std::unexpected(store_error(rc));
  }
  return WriteTransaction(std::move(state));
}

Status WritableDatabase::close() {
  if (impl_ == nullptr) return {};
  if (impl_->writing.load(std::memory_order_acquire)) {
    return fail_runtime("cannot close a database while a write transaction is open");
  }
  impl_.reset();
  return {};
}

WriteTransaction::WriteTransaction(std::unique_ptr<detail::WriteState> state) : state_(std::move(state)) {}
WriteTransaction::WriteTransaction(WriteTransaction&&) noexcept = default;
WriteTransaction& WriteTransaction::operator=(WriteTransaction&&) noexcept = default;
WriteTransaction::~WriteTransaction() = default;

Result<unsigned> WriteTransaction::open_raw(std::string_view name, ColumnType key, ColumnType value) {
  detail::WriteState& st = *state_;
  if (st.failed || st.txn == nullptr) return std::unexpected(st.dead().error());
  if (name == directory::kTableName) {
    return fail_runtime("table name \"" + std::string(name) + "\" is reserved");
  }
  auto& tables = st.db->tables;
  for (const auto& t : tables) {
    if (t.name != name) continue;
    if (t.key != key || t.value != value) {
      return fail_runtime(directory::type_mismatch(name, t.key, t.value, key, value));
    }
    return t.dbi;
  }
  const std::string owned(name);
  MDB_dbi dbi = 0;
  const unsigned flags = MDB_CREATE | (detail::is_integer_key(key) ? MDB_INTEGERKEY : 0);
  if (int rc = mdb_dbi_open(st.txn, owned.c_str(), flags, &dbi)) return st.fail_with(rc);
  const std::string types = directory::encode_types(key, value);
  const std::string dir_key = directory::table_key(name);
  MDB_val k = as_val(dir_key);
  MDB_val v = as_val(types);
  if (int rc = mdb_put(st.txn, st.db->directory, &k, &v, 0)) return st.fail_with(rc);
  tables.push_back(detail::TableEntry{owned, dbi, key, value, {}});
  return dbi;
}

Status WriteTransaction::commit(Durability durability) {
  if (state_ == nullptr) return fail_runtime("write transaction already ended");
  detail::WriteState& st = *state_;
  if (st.failed || st.txn == nullptr) return st.dead();
  st.close_cursors();
  MDB_txn* txn = std::exchange(st.txn, nullptr);
  const int rc = mdb_txn_commit(txn);
  MDB_env* env = st.db->env;
  if (rc != 0) st.db->tables.resize(st.tables_before);
  state_.reset();  // the database accepts a new write transaction from here on
  if (rc != 0) return std::unexpected(store_error(rc));
  if (durability == Durability::kImmediate) {
    if (int sync_rc = mdb_env_sync(env, 1)) return std::unexpected(store_error(sync_rc));
  }
  return {};
}

}  // namespace corv::fullmap
