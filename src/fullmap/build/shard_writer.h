// Writes one shard file's "records" table from the shard's term runs: a k-way
// merge by (term hash, term bytes) that unions each term's postings across
// runs, appended to the table in key order in batches.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/held_directory.h"
#include "common/status.h"
#include "fullmap/build/progress.h"
#include "fullmap/store/layout.h"
#include "fullmap/store/writable_database.h"

namespace corv::fullmap {

// Records waiting for a flush: (term hash, encoded term record) pairs. The
// values are packed into blocks the batch owns and keeps across clear(), so
// a batch costs no allocation per record once it has grown.
class ShardBatch {
 public:
  struct Record {
    uint64_t key = 0;
    const char* value = nullptr;
    size_t size = 0;
    std::string_view bytes() const { return {value, size}; }
  };

  // Room for `records` records; throws when it cannot be had.
  void reserve(size_t records) { records_.reserve(records); }
  void add(uint64_t key, std::string_view value);
  // Drops the records, keeping the room for records and value bytes.
  void clear();

  size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  size_t capacity() const { return records_.capacity(); }
  std::vector<Record>& records() { return records_; }

 private:
  static constexpr size_t kBlockBytes = size_t{1} << 20;
  struct Block {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;
  };
  std::vector<Record> records_;
  std::vector<Block> blocks_;
  size_t block_ = 0;  // block being filled
  size_t used_ = 0;   // bytes used in it
};

using RecordsTable = WriteTable<uint64_t, Bytes>;

// Fills `db` (new and empty): "meta" gets "build_id" and "records" one
// record per distinct term of `runs` (names in `dir`). Commits the data without a sync, then
// makes it durable with an empty durable commit. `insert_batch` records are
// buffered between flushes (0: a single flush at the end). Returns the
// number of records flushed, which counts every term of a hash collision
// although only the greatest term bytes survive under the shared key.
//
// `written` is shared by every shard of a build and only advanced when
// `progress` exists; `total` and `shard` only feed the reports. The batch
// reserves room for at most as many records as the runs' sizes allow; room
// that cannot be had throws (the caller's thread treats that as a fault).
Result<uint64_t> write_shard_records(WritableDatabase& db, const HeldDirectory& dir, std::span<const std::string> runs,
                                     size_t insert_batch, size_t shard, std::atomic<uint64_t>& written, uint64_t total,
                                     const ProgressHandle& progress, uint64_t build_id);

// Writes `batch` (ascending keys, equal keys in merge order) into `table`:
// appended at the table's end, except a key not above `last_key`, which
// replaces the stored value. Empties the batch, keeping its room, and
// returns how many records it wrote.
Result<uint64_t> flush_shard_batch(RecordsTable& table, ShardBatch& batch, std::optional<uint64_t>& last_key);

// Adds `n` to `written` and reports stage 2 "shard {shard}: writing {done}
// records" with the new total of all shards. Nothing without a progress
// callable or when n is 0.
void report_shard_progress(const ProgressHandle& progress, std::atomic<uint64_t>& written, uint64_t total, size_t shard,
                           uint64_t n);

}  // namespace corv::fullmap
