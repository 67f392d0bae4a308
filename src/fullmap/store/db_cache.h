// The process-wide cache of open read-only databases, and the opening of a
// fullmap's main file and one consistent set of its shard files.
//
// Lookups call open_cached() and open_cached_shards(); the build calls
// evict_cached() before it writes a fullmap and cache_database() after.
// Handles stay usable as long as someone holds them, also after their entry
// is replaced or their file is deleted.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/held_directory.h"
#include "common/status.h"
#include "fullmap/store/read_only_database.h"

namespace corv::fullmap {

inline constexpr std::string_view kPoisonedLock = "poisoned lock: another task failed inside";

// One cache entry: the handle and the file's identity and build id when it
// was opened.
struct CachedDatabase {
  SharedDatabase db;
  int64_t dev = 0;
  uint64_t ino = 0;
  uint64_t build_id = 0;
};

// What open_cached_path() returns.
struct OpenedDatabase {
  SharedDatabase db;
  bool missing_on_disk = false;  // served from the cache; the file is gone
  uint64_t build_id = 0;
};

// A map from path to CachedDatabase under a reader-writer lock. Keys compare
// as paths (component by component). The lock is poisoned for good when an
// exception leaves a write-locked section; every later acquisition fails
// with kPoisonedLock.
class DatabaseCache {
 public:
  // The entry of `key`, if any, copied under the read lock.
  Result<std::optional<CachedDatabase>> find(const std::filesystem::path& key) const;

  // Inserts or replaces the entry of `key`.
  Status insert(const std::filesystem::path& key, CachedDatabase entry);

  // Removes the entry of `key` only if it still has this dev and ino.
  Status remove_if_same(const std::filesystem::path& key, int64_t dev, uint64_t ino);

  // Runs f(map_editor) under the write lock; see Editor.
  class Editor {
   public:
    void erase(const std::filesystem::path& key);

   private:
    friend class DatabaseCache;
    explicit Editor(DatabaseCache& cache) : cache_(cache) {}
    DatabaseCache& cache_;
  };
  template <class F>
  Status with_write_lock(F&& f) {
    auto lock = lock_exclusive();
    if (!lock) return std::unexpected(std::move(lock.error()));
    Editor editor(*this);
    f(editor);
    return {};
  }

  // open_cached()'s fast path: the entry that `given` (a path as a caller
  // spelled it) led to before, if stat(given) still shows that entry's file.
  Result<std::optional<CachedDatabase>> find_by_given_path(const std::filesystem::path& given) const;
  // Remembers which key `given` led to.
  Status remember_given_path(const std::filesystem::path& given, const std::filesystem::path& key);

  bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }
  size_t size() const;

 private:
  // Holds the write lock; marks the cache poisoned if destroyed by unwinding.
  class ExclusiveLock {
   public:
    explicit ExclusiveLock(DatabaseCache& cache);
    ExclusiveLock(ExclusiveLock&& other) noexcept;
    ~ExclusiveLock();

   private:
    DatabaseCache* cache_;
    int uncaught_;
  };
  Result<ExclusiveLock> lock_exclusive();
  Result<std::shared_lock<std::shared_mutex>> lock_shared() const;

  mutable std::shared_mutex mutex_;
  std::atomic<bool> poisoned_{false};
  std::unordered_map<std::string, CachedDatabase> entries_;  // by path_key()
  std::unordered_map<std::string, std::string> given_to_key_;
};

// The process-wide cache: created on first use and never destroyed, so that
// handles outlive static destruction order at exit.
class ProcessDatabaseCache {
 public:
  DatabaseCache& get();
  DatabaseCache* get_if_created() const { return cache_.load(std::memory_order_acquire); }

 private:
  std::atomic<DatabaseCache*> cache_{nullptr};
};
extern constinit ProcessDatabaseCache DB_CACHE;

// The canonical form of `path` (absolute, links resolved), or `path` as given
// when it cannot be canonicalised.
std::filesystem::path canonical_or_given(const std::filesystem::path& path);

// The main database of a fullmap: canonicalised, cached, schema checked.
Result<SharedDatabase> open_cached(std::filesystem::path path);

// Serves `path` (the cache key as given) from the cache or opens it: a hit
// whose file still has its dev and ino is returned as is; a hit whose file is
// gone is returned with missing_on_disk; a hit whose file changed is dropped
// and the file reopened. A fresh open checks the schema marker when asked
// and always reads the build id.
Result<OpenedDatabase> open_cached_path(std::filesystem::path path, bool check_schema);

// Opens a database file read-only, mapping "not this store's format or
// version" to kOutdatedOrNeedsRepair.
Result<SharedDatabase> open_read_only(const std::filesystem::path& path);

// The "meta" "build_id" of a main or shard file.
Result<uint64_t> read_build_id(const ReadOnlyDatabase& db);

// Checks a main file's "schema" value (nullopt when absent).
Status check_schema_marker(std::optional<std::string_view> schema);

// The shard count that a main file's "shards" value (nullopt when absent)
// gives: 1, 2, 4, 8 or 16.
uint64_t shard_count_from_meta(std::optional<std::string_view> shards);

// The shard handles of the fullmap at `path`, in shard order, all carrying
// the main file's build id. Retried (5 attempts, 50 ms apart) while a
// rebuild is replacing the files.
Result<std::vector<SharedDatabase>> open_cached_shards(const std::filesystem::path& path);

// Drops the entries of `output` and its 16 shard paths (before a build).
Status evict_cached(const std::filesystem::path& output);

// Opens the newly built `output` and caches it, without a schema check.
Status cache_database(const std::filesystem::path& output);
// The same for a build that holds `output`'s directory as `dir`: the file is
// opened through `dir`, never through a link, so a directory renamed since
// still gives the file the build wrote, keyed as `output` names it. Without
// /proc, by `output`.
Status cache_database(const HeldDirectory& dir, const std::filesystem::path& output);

}  // namespace corv::fullmap
