// Writing a database file. A file is written once, by one WritableDatabase,
// and only read afterwards (read_only_database.h).
//
//   Use (every call returns a Result or Status):
//     auto db = WritableDatabase::create(dir, name, write_budget_bytes);  // Result<>
//     auto txn = db->begin_write();                               // one at a time
//     auto table = txn->open_table(kRecordsTable);                // creates it
//     table->append(key, value);   // ascending keys; a key not above the
//                                  // table's last key is inserted instead
//     table->insert(key, value);   // replaces an existing value
//     txn->commit(Durability::kNone);   // visible, not yet synced
//     db->begin_write()->commit();      // durable: syncs everything before it
//     db->close();
//
// File: one LMDB environment in a single file with no lock file. From
// create() to close() the writer holds an exclusive whole-file lock of its
// open file description (fcntl), which only a descriptor open for writing
// can hold, so a mere reader can never fake one; and an exclusive flock as
// well, for readers of earlier releases. Readers probe the lock and refuse
// to open a file that is being written. create() makes the file under a
// hidden, unguessable name beside the final one, closed to others until it
// is locked, and renames it into place once it is initialised, so the final
// name is either absent, locked or written.
//
// The file grows as it is written; it is never pre-sized to the map's
// reservation, so a closed file is about the size of its data.
//
// write_budget_bytes (the build's CORVANTILE_FULLMAP_REDB_CACHE_BYTES share)
// bounds how much a write transaction buffers in process memory: LMDB keeps a
// transaction's dirty pages on the heap until commit, so once the keys and
// values put since the last write-out reach the budget (at least 4 MiB) the
// transaction writes them into the file (an LMDB commit without sync) and
// carries on. It also sizes the map reservation and the headroom by which
// the map grows; budgets above 64 GiB count as 64 GiB, so that a huge value
// means "no limit" rather than a map that cannot be reserved. LMDB has no read cache of its own; reads go through the
// OS page cache, which this setting does not bound.
//
// Because of those write-outs, a transaction dropped without commit keeps
// what it had already written out. Nobody reads the file before the writer
// closes it, so this is only visible after a failed build, whose files are
// discarded anyway.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "common/held_directory.h"
#include "common/status.h"
#include "fullmap/store/column_types.h"

namespace corv::fullmap {

enum class Durability {
  kNone,       // written to the file, not synced; the next durable commit syncs it
  kImmediate,  // on stable storage when commit returns
};

class WriteTransaction;
template <KeyColumn K, ValueColumn V>
class WriteTable;

namespace detail {
struct WriteState;
Status write_put(WriteState* state, unsigned dbi, std::string_view key, std::string_view value, bool value_is_text,
                 bool append);
}  // namespace detail

class WritableDatabase {
 public:
  // Creates the file `name` in the held directory `dir` and locks it; every
  // step goes through `dir`'s descriptor, so a directory renamed or swapped
  // for a link meanwhile redirects nothing. An existing file there is
  // replaced, not emptied: handles open on it keep reading the old file. A
  // file at `name` that another writer holds is refused.
  static Result<WritableDatabase> create(const HeldDirectory& dir, const std::string& name, size_t write_budget_bytes);
  // The same in the directory that `path` names now, for callers that hold
  // none (tools and tests).
  static Result<WritableDatabase> create(const std::filesystem::path& path, size_t write_budget_bytes);

  WritableDatabase(WritableDatabase&&) noexcept;
  WritableDatabase& operator=(WritableDatabase&&) noexcept;
  ~WritableDatabase();  // close(), error dropped

  // One write transaction at a time; a second begin fails while one is open.
  // The transaction may be used from any one thread at a time and must end
  // before the database is closed.
  Result<WriteTransaction> begin_write();

  // Closes the environment and releases the lock. Does not sync: make the
  // last commit durable if the data must survive a crash.
  Status close();

  const std::filesystem::path& path() const;

 private:
  friend struct detail::WriteState;
  struct Impl;
  explicit WritableDatabase(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Removes the hidden temporaries that writers killed inside create() left
// beside the files `names` of `dir`, whichever release made them. Only for
// a caller that keeps every other writer of those names out; best effort.
void remove_abandoned_temporaries(const HeldDirectory& dir, std::span<const std::string> names);

class WriteTransaction {
 public:
  WriteTransaction(WriteTransaction&&) noexcept;
  WriteTransaction& operator=(WriteTransaction&&) noexcept;
  ~WriteTransaction();  // aborts unless committed

  // Opens a table, creating it when the file has none of that name. Fails
  // when the table exists with other key or value types.
  template <KeyColumn K, ValueColumn V>
  Result<WriteTable<K, V>> open_table(TableDef<K, V> def) {
    auto dbi = open_raw(def.name, Column<K>::kType, Column<V>::kType);
    if (!dbi) return std::unexpected(std::move(dbi.error()));
    return WriteTable<K, V>(state_.get(), *dbi);
  }

  // Ends the transaction; its tables become unusable. After a failed put the
  // transaction can only be dropped.
  Status commit(Durability durability = Durability::kImmediate);

 private:
  friend class WritableDatabase;
  explicit WriteTransaction(std::unique_ptr<detail::WriteState> state);
  Result<unsigned> open_raw(std::string_view name, ColumnType key, ColumnType value);
  std::unique_ptr<detail::WriteState> state_;
};

// A table of an open write transaction; a cheap, copyable view that must not
// be used after the transaction ends.
template <KeyColumn K, ValueColumn V>
class WriteTable {
 public:
  using KeyView = typename Column<K>::View;
  using ValueView = typename Column<V>::View;

  // Inserts or replaces the value of `key`.
  Status insert(KeyView key, ValueView value) {
    detail::EncodedKey<K> k(key);
    return detail::write_put(state_, dbi_, k.bytes(), value, kText, false);
  }

  // Appends at the end of the table. A key that does not sort after the
  // table's last key is stored with a replacing insert instead, so appending
  // an equal key replaces the last value.
  Status append(KeyView key, ValueView value) {
    detail::EncodedKey<K> k(key);
    return detail::write_put(state_, dbi_, k.bytes(), value, kText, true);
  }

 private:
  friend class WriteTransaction;
  static constexpr bool kText = std::same_as<V, Text>;
  WriteTable(detail::WriteState* state, unsigned dbi) : state_(state), dbi_(dbi) {}
  detail::WriteState* state_;
  unsigned dbi_;
};

}  // namespace corv::fullmap
