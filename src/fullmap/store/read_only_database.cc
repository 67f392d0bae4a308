#include "fullmap/store/read_only_database.h"

#include <lmdb.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "common/utf8.h"
#include "fullmap/store/fault_guard.h"
#include "fullmap/store/meta_pages.h"
#include "fullmap/store/store_directory.h"
#include "fullmap/store/store_error.h"

namespace corv::fullmap {

namespace {

MDB_val as_val(std::string_view s) { return MDB_val{s.size(), const_cast<char*>(s.data())}; }

constexpr int kOpenAttempts = 3;
constexpr std::string_view kReplacedWhileOpening = "database file was replaced while it was being opened";

std::unexpected<Error> outdated() { return fail_runtime(std::string(kOutdatedOrNeedsRepair)); }

bool is_format_error(int rc) {
  return rc == MDB_INVALID || rc == MDB_VERSION_MISMATCH || rc == MDB_INCOMPATIBLE || rc == MDB_CORRUPTED ||
         rc == MDB_PAGE_NOTFOUND;
}

Error text_error(const detail::TableEntry& table, std::string_view what, size_t offset) {
  return Error::runtime(std::string(what) + " in table \"" + table.name + "\" is not valid UTF-8 (bad byte at offset " +
                        std::to_string(offset) + ")");
}

// Appends the bytes of a read's key or value to `out`: only the copy reads
// the mapping, and the room for it is made before the guard is armed.
int copy_out(const MDB_val& v, std::string& out) {
  const size_t start = out.size();
  int rc = 0;
  out.resize_and_overwrite(start + v.mv_size, [&](char* p, size_t) {
    rc = guarded_copy(p + start, v.mv_data, v.mv_size);
    return rc == 0 ? start + v.mv_size : start;
  });
  return rc;
}

int copy_into(const MDB_val& v, std::string& out) {
  out.clear();
  return copy_out(v, out);
}

// Aborts a read transaction on scope exit.
struct TxnGuard {
  MDB_txn* txn;
  ~TxnGuard() {
    if (txn != nullptr) mdb_txn_abort(txn);
  }
};

}  // namespace

namespace detail {

Error corrupt_key_error(const TableEntry& table) {
  return Error::runtime("table \"" + table.name + "\" holds a key of the wrong width");
}

Result<bool> read_get(MDB_txn* txn, const TableEntry& table, std::string_view key, std::string& out) {
  MDB_val k = as_val(key);
  MDB_val v;
  // Most values fit in the room the buffer already has: one guarded call
  // then finds and copies them.
  const size_t start = out.size();
  bool copied = false;
  int rc = 0;
  out.resize_and_overwrite(out.capacity(), [&](char* p, size_t n) {
    rc = guarded_get_copy(txn, table.dbi, &k, &v, table.map, p + start, n - start, &copied);
    return copied ? start + v.mv_size : start;
  });
  if (rc == MDB_NOTFOUND) return false;
  if (rc == 0 && !copied) rc = copy_out(v, out);
  if (rc != 0) return std::unexpected(store_error(rc));
  if (table.value == ColumnType::kText) {
    const std::string_view value(out.data() + out.size() - v.mv_size, v.mv_size);
    if (auto bad = first_invalid_utf8(value)) {
      out.resize(out.size() - v.mv_size);
      return std::unexpected(text_error(table, "value", *bad));
    }
  }
  return true;
}

RawScan::~RawScan() {
  if (cursor_ != nullptr) mdb_cursor_close(cursor_);
}

Result<bool> RawScan::next(std::string_view* key, std::string_view* value) {
  MDB_cursor_op op = MDB_NEXT;
  if (cursor_ == nullptr) {
    if (int rc = guarded_cursor_open(txn_, table_.dbi, &cursor_)) return std::unexpected(store_error(rc));
    op = MDB_FIRST;
  }
  MDB_val k, v;
  int rc = guarded_cursor_get(cursor_, &k, &v, op, table_.map);
  if (rc == MDB_NOTFOUND) return false;
  if (rc == 0) rc = copy_into(k, key_);
  if (rc == 0) rc = copy_into(v, value_);
  if (rc != 0) return std::unexpected(store_error(rc));
  *key = key_;
  *value = value_;
  if (table_.key == ColumnType::kText) {
    if (auto bad = first_invalid_utf8(*key)) return std::unexpected(text_error(table_, "key", *bad));
  }
  if (table_.value == ColumnType::kText) {
    if (auto bad = first_invalid_utf8(*value)) return std::unexpected(text_error(table_, "value", *bad));
  }
  return true;
}

}  // namespace detail

Result<std::shared_ptr<ReadOnlyDatabase>> ReadOnlyDatabase::open(const std::filesystem::path& path) {
  // Without /proc, LMDB opens the file again by name; a rebuild that
  // replaced it meanwhile would have LMDB read the new file, locked or not,
  // in place of ours. What that attempt saw says nothing about the file now
  // at `path`.
  for (int attempt = 1;; ++attempt) {
    std::shared_ptr<ReadOnlyDatabase> db(new ReadOnlyDatabase());
    auto status = db->open_at(path);
    if (status) return db;
    if (!db->lock_.valid() || names_file(path, db->lock_.get())) return std::unexpected(std::move(status.error()));
    if (attempt == kOpenAttempts) return fail_runtime(std::string(kReplacedWhileOpening));
  }
}

Status ReadOnlyDatabase::open_at(const std::filesystem::path& path) {
  path_ = path;
  auto file = lock_and_stat();
  if (!file) return fail(std::move(file.error()));
  auto page_size = check_meta_pages(lock_.get(), file->size);
  if (!page_size) return fail(std::move(page_size.error()));
  CORV_TRY(open_environment(*file));

  // Every table handle is opened now, before the handle is shared.
  TxnGuard guard{nullptr};
  if (int rc = guarded_read_txn_begin(env_, &guard.txn)) return std::unexpected(store_error(rc));
  unsigned dir = 0;
  auto map = check_format(guard.txn, *file, *page_size, &dir);
  if (!map) return fail(std::move(map.error()));
  CORV_TRY(open_tables(guard.txn, dir, *map));
  // Committing keeps the table handles open in the environment.
  if (int rc = mdb_txn_commit(std::exchange(guard.txn, nullptr))) return std::unexpected(store_error(rc));
  return {};
}

Result<FileInfo> ReadOnlyDatabase::lock_and_stat() {
  // Our own descriptor carries the shared lock that keeps writers out for
  // as long as the handle lives. It is a lock of the open description, not
  // an flock: a writer's exclusive one needs a descriptor open for writing,
  // so nobody who may only read the file can refuse us (or anyone) with it.
  // Never waiting on the open keeps a FIFO at the name from hanging us.
  auto fd = open_regular_for_reading(path_);
  if (!fd) return fail(std::move(fd.error()));
  lock_ = std::move(*fd);
  auto locked = try_lock_file(lock_.get(), LockMode::kShared);
  if (!locked) return fail(std::move(locked.error()));
  if (!*locked) return fail_runtime(std::string(kLockedByWriter));
  auto file = file_info(lock_.get());
  if (!file) return file;
  file_ = *file;
  return file;
}

Status ReadOnlyDatabase::open_environment(const FileInfo& file) {
  if (int rc = mdb_env_create(&env_)) return std::unexpected(store_error(rc));
  guard_assertions(env_);
  if (int rc = mdb_env_set_maxdbs(env_, directory::kMaxTables)) return std::unexpected(store_error(rc));
  // Map the file as it is, not the writer's reservation; the meta pages,
  // checked, ask for no more.
  if (int rc = mdb_env_set_mapsize(env_, static_cast<size_t>(file.size))) return std::unexpected(store_error(rc));
  const unsigned flags = MDB_RDONLY | MDB_NOSUBDIR | MDB_NOLOCK | MDB_NOTLS | MDB_NORDAHEAD;
  // LMDB opens by name. Naming our own descriptor makes it open the very file
  // we locked, even while a rebuild renames a new one into place.
  const std::optional<std::string> own_fd = readable_proc_fd_path(lock_.get());
  const char* env_path = own_fd ? own_fd->c_str() : path_.c_str();
  // Opening by name may read a file that replaced the checked one; the
  // guard, and the check that follows, keep that from going further.
  if (int rc = guarded_env_open(env_, env_path, flags)) {
    if (is_format_error(rc)) return outdated();
    return std::unexpected(store_error(rc));
  }
  int env_fd = -1;
  if (mdb_env_get_fd(env_, &env_fd) != 0) return fail_runtime(std::string(kReplacedWhileOpening));
  // LMDB opens without O_CLOEXEC; a program this process starts must not
  // keep the file.
  CORV_TRY(set_close_on_exec(env_fd));
  auto opened = file_info(env_fd);
  if (!opened || !opened->same_file(file)) return fail_runtime(std::string(kReplacedWhileOpening));
  return {};
}

Result<MappedFile> ReadOnlyDatabase::check_format(MDB_txn* txn, const FileInfo& file, uint32_t page_size,
                                                  unsigned* dir) {
  if (int rc = guarded_dbi_open(txn, directory::kTableName, 0, dir)) {
    if (rc == MDB_NOTFOUND || is_format_error(rc)) return outdated();
    return std::unexpected(store_error(rc));
  }
  MDB_val k = as_val(directory::kFormatKey);
  MDB_val v;
  if (int rc = guarded_get(txn, *dir, &k, &v)) {
    if (rc == MDB_NOTFOUND || is_format_error(rc)) return outdated();
    return std::unexpected(store_error(rc));
  }
  // Every later read is checked against the file's place in memory.
  auto map = find_mapping(v.mv_data, lock_.get(), file.size, page_size);
  if (!map) return std::unexpected(std::move(map.error()));
  if (!*map || !(*map)->contains(v.mv_data, v.mv_size)) return outdated();
  std::string version;
  if (v.mv_size != directory::kFormatVersion.size() || copy_into(v, version) != 0 ||
      version != directory::kFormatVersion) {
    return outdated();
  }
  return **map;
}

Status ReadOnlyDatabase::open_tables(MDB_txn* txn, unsigned dir, const MappedFile& map) {
  MDB_cursor* cursor = nullptr;
  if (int rc = guarded_cursor_open(txn, dir, &cursor)) return std::unexpected(store_error(rc));
  MDB_val k, v;
  std::string key;
  std::string value;
  int rc = guarded_cursor_get(cursor, &k, &v, MDB_FIRST, map);
  for (; rc == 0; rc = guarded_cursor_get(cursor, &k, &v, MDB_NEXT, map)) {
    if ((rc = copy_into(k, key)) != 0 || (rc = copy_into(v, value)) != 0) break;
    if (!key.starts_with(directory::kTablePrefix)) continue;
    auto types = directory::decode_types(value);
    if (!types) break;
    detail::TableEntry entry;
    entry.name = key.substr(directory::kTablePrefix.size());
    entry.key = types->first;
    entry.value = types->second;
    entry.map = map;
    rc = guarded_dbi_open(txn, entry.name.c_str(), 0, &entry.dbi);
    if (rc != 0) break;
    unsigned dbi_flags = 0;
    rc = mdb_dbi_flags(txn, entry.dbi, &dbi_flags);
    if (rc != 0) break;
    if (detail::is_integer_key(entry.key) != ((dbi_flags & MDB_INTEGERKEY) != 0)) {
      rc = MDB_INCOMPATIBLE;  // keys laid out unlike this store's
      break;
    }
    tables_.push_back(std::move(entry));
  }
  mdb_cursor_close(cursor);
  if (rc == MDB_NOTFOUND) return {};
  if (rc == 0 || is_format_error(rc)) return outdated();
  return std::unexpected(store_error(rc));
}

ReadOnlyDatabase::~ReadOnlyDatabase() {
  if (env_ != nullptr) mdb_env_close(env_);
}

const detail::TableEntry* ReadOnlyDatabase::find_table(std::string_view name) const {
  for (const auto& t : tables_) {
    if (t.name == name) return &t;
  }
  return nullptr;
}

Result<ReadTransaction> ReadOnlyDatabase::begin_read() const {
  MDB_txn* txn = nullptr;
  if (int rc = guarded_read_txn_begin(env_, &txn)) return std::unexpected(store_error(rc));
  return ReadTransaction(this, txn);
}

ReadTransaction& ReadTransaction::operator=(ReadTransaction&& other) noexcept {
  if (this != &other) {
    if (txn_ != nullptr) mdb_txn_abort(txn_);
    db_ = other.db_;
    txn_ = std::exchange(other.txn_, nullptr);
  }
  return *this;
}

ReadTransaction::~ReadTransaction() {
  // Abort, not commit: it never touches state shared with other readers.
  if (txn_ != nullptr) mdb_txn_abort(txn_);
}

Result<const detail::TableEntry*> ReadTransaction::find(std::string_view name, ColumnType key, ColumnType value) const {
  const detail::TableEntry* t = db_->find_table(name);
  if (t == nullptr) return fail_runtime("table \"" + std::string(name) + "\" does not exist");
  if (t->key != key || t->value != value) {
    return fail_runtime(directory::type_mismatch(name, t->key, t->value, key, value));
  }
  return t;
}

}  // namespace corv::fullmap
