// Reading a database file written by WritableDatabase.
//
//   SharedDatabase db = ...;                      // open_cached() or open()
//   auto txn = db->begin_read();                  // Result<ReadTransaction>
//   auto table = txn->open_table(kRecordsTable);  // Result<ReadTable<...>>
//   auto value = table->get(hash);                // Result<optional<string>>
//   table->get_into(hash, buffer);                // Result<bool>, appends
//   table->scan([](uint16_t id, std::string_view text) { ... });
//
// No byte of the file's mapping reaches a caller: keys and values are copied
// out under the fault guard (fault_guard.h), so a file cut short or
// rewritten under an open handle gives a store error, never a signal, and
// what the caller decodes is its own memory. The views that scan() passes
// are valid only while f runs.
//
// Sharing: one ReadOnlyDatabase is shared by any number of threads, each
// beginning its own read transactions (a transaction itself belongs to one
// thread at a time). This is safe because the environment is never written
// through this handle and nobody writes the file while it is open:
//  - a writer only writes a file it created itself, under a fresh name, and
//    holds an exclusive lock on it (of the open description, fcntl) until it
//    is done; the shared one that open() takes (and keeps for the handle's
//    life) shows that it was done;
//  - the environment has no lock table (MDB_NOLOCK) and no thread-bound
//    reader slots (MDB_NOTLS); a read transaction then only reads the meta
//    pages and allocates its own state;
//  - every table handle (DBI) is opened once, inside open(), before the
//    handle is shared; later table opens only look the handle up here, so
//    mdb_dbi_open, which must not race with other transactions, never runs
//    concurrently.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/fd_io.h"
#include "common/status.h"
#include "fullmap/store/column_types.h"
#include "fullmap/store/mapped_file.h"

struct MDB_env;
struct MDB_txn;
struct MDB_cursor;

namespace corv::fullmap {

class ReadOnlyDatabase;
class ReadTransaction;
template <KeyColumn K, ValueColumn V>
class ReadTable;

// The handle that the database cache hands out and every lookup shares.
using SharedDatabase = std::shared_ptr<ReadOnlyDatabase>;

namespace detail {

struct TableEntry {
  std::string name;
  unsigned dbi = 0;
  ColumnType key = ColumnType::kBytes;
  ColumnType value = ColumnType::kBytes;
  MappedFile map;  // every key and value lies within it
};

// Appends the value stored under `key` to `out`: true, or false when there
// is none.
Result<bool> read_get(MDB_txn* txn, const TableEntry& table, std::string_view key, std::string& out);
Error corrupt_key_error(const TableEntry& table);

// Walks a table in key order.
class RawScan {
 public:
  RawScan(MDB_txn* txn, const TableEntry& table) : txn_(txn), table_(table) {}
  ~RawScan();
  RawScan(const RawScan&) = delete;
  RawScan& operator=(const RawScan&) = delete;
  // True with the next entry, copied into the scan's own buffers (the views
  // last until the next call); false at the end.
  Result<bool> next(std::string_view* key, std::string_view* value);

 private:
  MDB_txn* txn_;
  const TableEntry& table_;
  MDB_cursor* cursor_ = nullptr;
  std::string key_;
  std::string value_;
};

}  // namespace detail

class ReadOnlyDatabase {
 public:
  // Opens the file read-only. Fails at once, saying what it found, when the
  // path names anything but a regular file (a FIFO, a device); with a store
  // error when a writer holds the file; with kOutdatedOrNeedsRepair (store_error.h) when it is not a
  // file of this store's format or version.
  static Result<std::shared_ptr<ReadOnlyDatabase>> open(const std::filesystem::path& path);

  ~ReadOnlyDatabase();
  ReadOnlyDatabase(const ReadOnlyDatabase&) = delete;
  ReadOnlyDatabase& operator=(const ReadOnlyDatabase&) = delete;

  // Thread-safe. The transaction must end before the database is destroyed.
  Result<ReadTransaction> begin_read() const;

  const std::filesystem::path& path() const { return path_; }
  // The file the handle reads, as its own locked descriptor shows it.
  const FileInfo& file_identity() const { return file_; }

  // The table of that name, or nullptr.
  const detail::TableEntry* find_table(std::string_view name) const;

 private:
  ReadOnlyDatabase() = default;
  // One attempt of open(), in its steps.
  Status open_at(const std::filesystem::path& path);
  Result<FileInfo> lock_and_stat();
  Status open_environment(const FileInfo& file);
  // The mapping that holds the file, once its directory table `dir` shows
  // this store's format.
  Result<MappedFile> check_format(MDB_txn* txn, const FileInfo& file, uint32_t page_size, unsigned* dir);
  Status open_tables(MDB_txn* txn, unsigned dir, const MappedFile& map);

  std::filesystem::path path_;
  MDB_env* env_ = nullptr;
  FileDescriptor lock_;  // closed after the environment
  FileInfo file_;        // of lock_
  std::vector<detail::TableEntry> tables_;
};

class ReadTransaction {
 public:
  ReadTransaction(ReadTransaction&& other) noexcept : db_(other.db_), txn_(std::exchange(other.txn_, nullptr)) {}
  ReadTransaction& operator=(ReadTransaction&& other) noexcept;
  ~ReadTransaction();

  // Fails when the table does not exist or has other key or value types.
  template <KeyColumn K, ValueColumn V>
  Result<ReadTable<K, V>> open_table(TableDef<K, V> def) const {
    auto entry = find(def.name, Column<K>::kType, Column<V>::kType);
    if (!entry) return std::unexpected(std::move(entry.error()));
    return ReadTable<K, V>(txn_, *entry);
  }

 private:
  friend class ReadOnlyDatabase;
  ReadTransaction(const ReadOnlyDatabase* db, MDB_txn* txn) : db_(db), txn_(txn) {}
  Result<const detail::TableEntry*> find(std::string_view name, ColumnType key, ColumnType value) const;
  const ReadOnlyDatabase* db_;
  MDB_txn* txn_;
};

// A table of an open read transaction; a cheap, copyable view that must not
// be used after the transaction ends.
template <KeyColumn K, ValueColumn V>
class ReadTable {
 public:
  using KeyView = typename Column<K>::View;
  using ValueView = typename Column<V>::View;

  // A copy of the value stored under `key`, or nullopt.
  Result<std::optional<std::string>> get(KeyView key) const {
    std::string value;
    auto found = get_into(key, value);
    if (!found) return std::unexpected(std::move(found.error()));
    if (!*found) return std::nullopt;
    return std::optional<std::string>(std::move(value));
  }

  // Appends the value stored under `key` to `out`, whose room a caller that
  // reads many values reuses: true, or false when there is none.
  Result<bool> get_into(KeyView key, std::string& out) const {
    detail::EncodedKey<K> k(key);
    return detail::read_get(txn_, *table_, k.bytes(), out);
  }

  // Calls f(key, value) for every entry in ascending key order. f returns
  // void, or Status to stop the scan with an error.
  template <class F>
  Status scan(F&& f) const {
    detail::RawScan cursor(txn_, *table_);
    std::string_view raw_key;
    std::string_view value;
    while (true) {
      auto more = cursor.next(&raw_key, &value);
      if (!more) return std::unexpected(std::move(more.error()));
      if (!*more) return {};
      KeyView key;
      if (!detail::decode_key<K>(raw_key, &key)) return std::unexpected(detail::corrupt_key_error(*table_));
      if constexpr (std::is_void_v<std::invoke_result_t<F&, KeyView, ValueView>>) {
        f(key, value);
      } else {
        auto status = f(key, value);
        if (!status) return status;
      }
    }
  }

 private:
  friend class ReadTransaction;
  ReadTable(MDB_txn* txn, const detail::TableEntry* table) : txn_(txn), table_(table) {}
  MDB_txn* txn_;
  const detail::TableEntry* table_;
};

}  // namespace corv::fullmap
