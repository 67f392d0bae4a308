#include "fullmap/store/db_cache.h"

#include <bit>
#include <chrono>
#include <exception>
#include <thread>

#include "common/env.h"
#include "common/fd_io.h"
#include "common/path_components.h"
#include "common/utf8.h"
#include "fullmap/store/layout.h"
#include "fullmap/store/store_error.h"

namespace corv::fullmap {

constinit ProcessDatabaseCache DB_CACHE;

namespace {

constexpr std::string_view kOutdatedSchema = "fullmap DB is outdated; rebuild with 'corvantile build-fullmap'";
constexpr std::string_view kUnsupportedSchema = "unsupported fullmap redb schema";
constexpr std::string_view kMissingBuildId =
    "fullmap DB is missing META.build_id; rebuild with 'corvantile build-fullmap'";
constexpr std::string_view kInvalidBuildId =
    "fullmap DB has invalid META.build_id; rebuild with 'corvantile build-fullmap'";

constexpr int kPinAttempts = 5;
constexpr auto kPinRetryDelay = std::chrono::milliseconds(50);
// Spellings remembered for the fast path; cleared when it grows past this.
constexpr size_t kMaxGivenPaths = 4096;

std::optional<FileInfo> file_info_if_any(const std::filesystem::path& path) {
  auto info = file_info(path);
  return info ? std::optional<FileInfo>(*info) : std::nullopt;
}

// The entry records the file the handle holds, as its locked descriptor
// shows it: a status query of the path, before or after the open, may see
// another file that a rebuild put there meanwhile, and an entry naming that
// one would serve the old handle for a later file that reuses its inode.
CachedDatabase entry_of(SharedDatabase db, uint64_t build_id) {
  const FileInfo& file = db->file_identity();
  return CachedDatabase{std::move(db), static_cast<int64_t>(file.dev), file.ino, build_id};
}

bool holds_file(const CachedDatabase& entry, const FileInfo& file) {
  return entry.dev == static_cast<int64_t>(file.dev) && entry.ino == file.ino;
}

// A string that is equal for two paths exactly when they are equal component
// by component (path_components.h).
std::string path_key(const std::filesystem::path& path) {
  const std::string& s = path.native();
  std::string out;
  out.reserve(s.size());
  if (s.starts_with('/')) out.push_back('/');
  for_each_path_component(s, [&](std::string_view part) {
    if (!out.empty() && out.back() != '/') out.push_back('/');
    out.append(part);
  });
  return out;
}

std::unexpected<Error> fail_text(std::string_view text) { return fail_runtime(std::string(text)); }

Result<std::optional<std::string>> read_meta(const ReadOnlyDatabase& db, std::string_view key) {
  auto txn = db.begin_read();
  if (!txn) return std::unexpected(std::move(txn.error()));
  auto meta = txn->open_table(kMetaTable);
  if (!meta) return std::unexpected(std::move(meta.error()));
  return meta->get(key);
}

}  // namespace

// ---------------------------------------------------------------------------
// DatabaseCache

DatabaseCache::ExclusiveLock::ExclusiveLock(DatabaseCache& cache)
    : cache_(&cache), uncaught_(std::uncaught_exceptions()) {
  cache.mutex_.lock();
}

DatabaseCache::ExclusiveLock::ExclusiveLock(ExclusiveLock&& other) noexcept
    : cache_(std::exchange(other.cache_, nullptr)), uncaught_(other.uncaught_) {}

DatabaseCache::ExclusiveLock::~ExclusiveLock() {
  if (cache_ == nullptr) return;
  if (std::uncaught_exceptions() > uncaught_) cache_->poisoned_.store(true, std::memory_order_release);
  cache_->mutex_.unlock();
}

Result<DatabaseCache::ExclusiveLock> DatabaseCache::lock_exclusive() {
  if (poisoned()) return fail_text(kPoisonedLock);
  ExclusiveLock lock(*this);
  if (poisoned()) return fail_text(kPoisonedLock);
  return lock;
}

Result<std::shared_lock<std::shared_mutex>> DatabaseCache::lock_shared() const {
  if (poisoned()) return fail_text(kPoisonedLock);
  std::shared_lock lock(mutex_);
  if (poisoned()) return fail_text(kPoisonedLock);
  return lock;
}

void DatabaseCache::Editor::erase(const std::filesystem::path& key) { cache_.entries_.erase(path_key(key)); }

Result<std::optional<CachedDatabase>> DatabaseCache::find(const std::filesystem::path& key) const {
  const std::string k = path_key(key);
  auto lock = lock_shared();
  if (!lock) return std::unexpected(std::move(lock.error()));
  auto it = entries_.find(k);
  if (it == entries_.end()) return std::optional<CachedDatabase>();
  return std::optional<CachedDatabase>(it->second);
}

Status DatabaseCache::insert(const std::filesystem::path& key, CachedDatabase entry) {
  std::string k = path_key(key);
  CachedDatabase replaced;  // released after the lock
  auto lock = lock_exclusive();
  if (!lock) return std::unexpected(std::move(lock.error()));
  auto [it, inserted] = entries_.try_emplace(std::move(k));
  if (!inserted) replaced = std::move(it->second);
  it->second = std::move(entry);
  return {};
}

Status DatabaseCache::remove_if_same(const std::filesystem::path& key, int64_t dev, uint64_t ino) {
  const std::string k = path_key(key);
  CachedDatabase removed;  // released after the lock
  auto lock = lock_exclusive();
  if (!lock) return std::unexpected(std::move(lock.error()));
  auto it = entries_.find(k);
  if (it != entries_.end() && it->second.dev == dev && it->second.ino == ino) {
    removed = std::move(it->second);
    entries_.erase(it);
  }
  return {};
}

Result<std::optional<CachedDatabase>> DatabaseCache::find_by_given_path(const std::filesystem::path& given) const {
  std::optional<CachedDatabase> found;
  {
    auto lock = lock_shared();
    if (!lock) return std::unexpected(std::move(lock.error()));
    auto key = given_to_key_.find(given.native());
    if (key == given_to_key_.end()) return found;
    auto it = entries_.find(key->second);
    if (it == entries_.end()) return found;
    found = it->second;
  }
  const std::optional<FileInfo> file = file_info_if_any(given);
  if (!file || !holds_file(*found, *file)) found.reset();
  return found;
}

Status DatabaseCache::remember_given_path(const std::filesystem::path& given, const std::filesystem::path& key) {
  std::string k = path_key(key);
  auto lock = lock_exclusive();
  if (!lock) return std::unexpected(std::move(lock.error()));
  if (given_to_key_.size() >= kMaxGivenPaths) given_to_key_.clear();
  given_to_key_.insert_or_assign(given.native(), std::move(k));
  return {};
}

size_t DatabaseCache::size() const {
  std::shared_lock lock(mutex_);
  return entries_.size();
}

DatabaseCache& ProcessDatabaseCache::get() {
  DatabaseCache* current = cache_.load(std::memory_order_acquire);
  if (current != nullptr) return *current;
  auto* fresh = new DatabaseCache();
  if (cache_.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;
  return *current;
}

// ---------------------------------------------------------------------------
// Opening

std::filesystem::path canonical_or_given(const std::filesystem::path& path) {
  std::error_code ec;
  auto canonical = std::filesystem::canonical(path, ec);
  if (ec) return path;
  return canonical;
}

Result<SharedDatabase> open_read_only(const std::filesystem::path& path) { return ReadOnlyDatabase::open(path); }

Status check_schema_marker(std::optional<std::string_view> schema) {
  if (schema && *schema == kSchemaMarker) return {};
  if (schema && schema->size() == kSchemaMarker.size() &&
      schema->substr(0, schema->size() - 1) == kSchemaMarker.substr(0, kSchemaMarker.size() - 1) &&
      schema->back() >= '1' && schema->back() <= '4') {
    return fail_text(kOutdatedSchema);
  }
  return fail_text(kUnsupportedSchema);
}

Result<uint64_t> read_build_id(const ReadOnlyDatabase& db) {
  auto value = read_meta(db, kMetaBuildId);
  if (!value) return std::unexpected(std::move(value.error()));
  if (!*value) return fail_text(kMissingBuildId);
  auto parsed = parse_u64_decimal(**value);
  if (!parsed) return fail_text(kInvalidBuildId);
  return static_cast<uint64_t>(*parsed);
}

uint64_t shard_count_from_meta(std::optional<std::string_view> shards) {
  if (!shards) return kMaxShardCount;
  const auto parsed = parse_u64_decimal(*shards);
  if (!parsed) return kMaxShardCount;
  const uint64_t v = *parsed;
  if (v < 2) return 1;
  if (std::has_single_bit(v)) return std::min(v, kMaxShardCount);
  // No power of two above v fits in 64 bits.
  if (v > (uint64_t{1} << 63)) return 1;
  return std::min(std::bit_floor(v), kMaxShardCount);
}

Result<OpenedDatabase> open_cached_path(std::filesystem::path path, bool check_schema) {
  DatabaseCache& cache = DB_CACHE.get();
  auto hit = cache.find(path);
  if (!hit) return std::unexpected(std::move(hit.error()));
  if (*hit) {
    const CachedDatabase& entry = **hit;
    auto file = find_file(path);
    if (!file) return fail(std::move(file.error()));
    if (!*file) return OpenedDatabase{entry.db, true, entry.build_id};
    if (holds_file(entry, **file)) return OpenedDatabase{entry.db, false, entry.build_id};
    // The file was replaced: drop the entry unless someone already did.
    CORV_TRY(cache.remove_if_same(path, entry.dev, entry.ino));
    hit->reset();
  }

  // The path's status, before the open and again after it when that first
  // query failed, decides only whether the path can be queried at all; the
  // identity cached comes from the handle.
  const bool queried = file_info_if_any(path).has_value();
  auto db = open_read_only(path);
  if (!db) return std::unexpected(std::move(db.error()));
  if (check_schema) {
    auto schema = read_meta(**db, kMetaSchema);
    if (!schema) return std::unexpected(std::move(schema.error()));
    CORV_TRY(check_schema_marker(*schema ? std::optional<std::string_view>(**schema) : std::nullopt));
  }
  auto build_id = read_build_id(**db);
  if (!build_id) return std::unexpected(std::move(build_id.error()));
  if (!queried) {
    auto again = file_info(path);
    if (!again) return std::unexpected(std::move(again.error()));
  }
  CORV_TRY(cache.insert(path, entry_of(*db, *build_id)));
  return OpenedDatabase{std::move(*db), false, *build_id};
}

namespace {

// open_cached_path() on the canonical form of `given`, through the fast path
// when `given` led to a cache entry before and still names that entry's file.
Result<OpenedDatabase> open_given(const std::filesystem::path& given, bool check_schema) {
  DatabaseCache& cache = DB_CACHE.get();
  auto fast = cache.find_by_given_path(given);
  if (!fast) return std::unexpected(std::move(fast.error()));
  if (*fast) return OpenedDatabase{std::move((*fast)->db), false, (*fast)->build_id};
  std::filesystem::path key = canonical_or_given(given);
  auto opened = open_cached_path(key, check_schema);
  if (!opened) return opened;
  if (!opened->missing_on_disk) CORV_TRY(cache.remember_given_path(given, key));
  return opened;
}

}  // namespace

Result<SharedDatabase> open_cached(std::filesystem::path path) {
  auto opened = open_given(path, /*check_schema=*/true);
  if (!opened) return std::unexpected(std::move(opened.error()));
  return std::move(opened->db);
}

Result<std::vector<SharedDatabase>> open_cached_shards(const std::filesystem::path& path) {
  const std::filesystem::path canonical = canonical_or_given(path);
  for (int attempt = 1; attempt <= kPinAttempts; ++attempt) {
    const std::optional<FileInfo> before = file_info_if_any(canonical);
    auto primary = open_cached_path(canonical, /*check_schema=*/true);
    if (!primary) return std::unexpected(std::move(primary.error()));
    auto shards_value = read_meta(*primary->db, kMetaShards);
    if (!shards_value) return std::unexpected(std::move(shards_value.error()));
    const uint64_t n =
        shard_count_from_meta(*shards_value ? std::optional<std::string_view>(**shards_value) : std::nullopt);

    std::vector<SharedDatabase> handles;
    handles.reserve(n);
    bool all_equal = true;
    bool all_missing = primary->missing_on_disk;
    bool none_missing = !primary->missing_on_disk;
    for (uint64_t i = 0; i < n; ++i) {
      auto shard = open_given(shard_path(path, i), /*check_schema=*/false);
      if (!shard) return std::unexpected(std::move(shard.error()));
      all_equal = all_equal && shard->build_id == primary->build_id;
      all_missing = all_missing && shard->missing_on_disk;
      none_missing = none_missing && !shard->missing_on_disk;
      handles.push_back(std::move(shard->db));
    }
    if (all_equal && all_missing) return handles;
    if (all_equal && none_missing) {
      const std::optional<FileInfo> after = file_info_if_any(canonical);
      if (before && after && before->same_file(*after)) return handles;
    }
    handles.clear();
    primary->db.reset();
    if (attempt < kPinAttempts) std::this_thread::sleep_for(kPinRetryDelay);
  }
  return fail_runtime("fullmap at " + utf8_lossy(canonical.native()) +
                      " kept changing generation; could not pin one primary-plus-shards bundle "
                      "after " +
                      std::to_string(kPinAttempts) + " attempts");
}

Status evict_cached(const std::filesystem::path& output) {
  DatabaseCache* cache = DB_CACHE.get_if_created();
  if (cache == nullptr) return {};
  return cache->with_write_lock([&](DatabaseCache::Editor& editor) {
    editor.erase(canonical_or_given(output));
    for (uint64_t i = 0; i < kBuildShardCount; ++i) {
      editor.erase(canonical_or_given(shard_path(output, i)));
    }
  });
}

namespace {

Status insert_with_build_id(SharedDatabase db, const std::filesystem::path& key) {
  auto build_id = read_build_id(*db);
  if (!build_id) return std::unexpected(std::move(build_id.error()));
  return DB_CACHE.get().insert(key, entry_of(std::move(db), *build_id));
}

}  // namespace

Status cache_database(const std::filesystem::path& output) {
  auto db = open_read_only(output);
  if (!db) return std::unexpected(std::move(db.error()));
  const std::filesystem::path key = canonical_or_given(output);
  // As in open_cached_path(), the status query only has to succeed.
  if (auto queried = file_info(key); !queried) return std::unexpected(std::move(queried.error()));
  return insert_with_build_id(std::move(*db), key);
}

Status cache_database(const HeldDirectory& dir, const std::filesystem::path& output) {
  // Not through a link: whatever took the name since is not the build's.
  auto file = dir.open_file(output.filename().native());
  if (!file) return fail(std::move(file.error()));
  const std::optional<std::string> own = readable_proc_fd_path(file->get());
  if (!own) return cache_database(output);
  auto db = open_read_only(*own);
  if (!db) return std::unexpected(std::move(db.error()));
  // The entry's identity is the handle's, so the key needs no status query:
  // where the directory has moved, the file missing at the key is served
  // from the entry, and one put there since replaces it, as for any entry.
  return insert_with_build_id(std::move(*db), canonical_or_given(output));
}

}  // namespace corv::fullmap
