#include "fullmap/build/shard_writer.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "fullmap/build/term_run.h"
#include "fullmap/store/record_encoding.h"

namespace corv::fullmap {
namespace {

constexpr size_t kValueBufferBytes = 256;
// The smallest term frame: an empty term with no postings.
constexpr uint64_t kMinTermFrameBytes = 8;

// No more records than the runs can hold; a batch larger than that is one
// batch, not a reservation that cannot be had.
size_t batch_room(const HeldDirectory& dir, std::span<const std::string> runs, size_t insert_batch) {
  uint64_t bytes = 0;
  for (const auto& run : runs) {
    auto found = dir.entry(run);
    if (found && *found && (*found)->is_regular()) bytes += (*found)->size;
  }
  return static_cast<size_t>(std::min<uint64_t>(insert_batch, bytes / kMinTermFrameBytes));
}

// The merge queue. Each run's current frame waits in its reader; the
// queue holds only (term hash, run index), so reordering it moves no text.
class MergeHeap {
 public:
  explicit MergeHeap(std::vector<RunReader>& readers) : readers_(readers) {}

  bool empty() const { return items_.empty(); }
  size_t top_run() const { return items_.front().run; }
  uint64_t top_hash() const { return items_.front().hash; }

  // Queues the frame parked in `run`'s reader.
  void push(size_t run) {
    items_.push_back({term_hash(readers_[run].frame.term), run});
    std::push_heap(items_.begin(), items_.end(), Later{readers_});
  }

  // Unqueues the top entry and returns its run; the frame stays in the reader.
  size_t pop() {
    std::pop_heap(items_.begin(), items_.end(), Later{readers_});
    const size_t run = items_.back().run;
    items_.pop_back();
    return run;
  }

 private:
  struct Item {
    uint64_t hash;
    size_t run;
  };
  // std::*_heap keeps the greatest item on top; "greater" here means "leaves
  // the merge first": the smallest hash, then the smallest term bytes, then
  // for equal terms the larger run index.
  struct Later {
    const std::vector<RunReader>& readers;
    bool operator()(const Item& a, const Item& b) const {
      if (a.hash != b.hash) return a.hash > b.hash;
      if (int c = readers[a.run].frame.term.compare(readers[b.run].frame.term); c != 0) return c > 0;
      return a.run < b.run;
    }
  };

  std::vector<RunReader>& readers_;
  std::vector<Item> items_;
};

// Reads `run`'s next frame and queues it; nothing at its end.
Status advance_run(std::vector<RunReader>& readers, size_t run, MergeHeap& heap) {
  auto more = readers[run].read_frame();
  if (!more) return std::unexpected(std::move(more.error()));
  if (*more) heap.push(run);
  return {};
}

void sort_unique(std::vector<Posting>& postings) {
  if (postings.size() < 2) return;
  std::sort(postings.begin(), postings.end());
  postings.erase(std::unique(postings.begin(), postings.end()), postings.end());
}

}  // namespace

void ShardBatch::add(uint64_t key, std::string_view value) {
  while (block_ < blocks_.size() && blocks_[block_].size - used_ < value.size()) {
    ++block_;
    used_ = 0;
  }
  if (block_ == blocks_.size()) {
    const size_t size = std::max(kBlockBytes, value.size());
    blocks_.push_back({std::make_unique_for_overwrite<char[]>(size), size});
    used_ = 0;
  }
  char* at = blocks_[block_].bytes.get() + used_;
  std::memcpy(at, value.data(), value.size());
  used_ += value.size();
  records_.push_back({key, at, value.size()});
}

void ShardBatch::clear() {
  records_.clear();
  block_ = 0;
  used_ = 0;
}

Result<uint64_t> flush_shard_batch(RecordsTable& table, ShardBatch& batch, std::optional<uint64_t>& last_key) {
  if (batch.empty()) return 0;
  auto& records = batch.records();
  const auto by_key = [](const ShardBatch::Record& a, const ShardBatch::Record& b) { return a.key < b.key; };
  // Merge order already ascends; equal keys must keep their order so that
  // the greatest term of a collision is written last.
  if (!std::is_sorted(records.begin(), records.end(), by_key)) {
    std::stable_sort(records.begin(), records.end(), by_key);
  }
  for (const ShardBatch::Record& record : records) {
    if (last_key && record.key <= *last_key) {
      CORV_TRY(table.insert(record.key, record.bytes()));
    } else {
      CORV_TRY(table.append(record.key, record.bytes()));
    }
    last_key = record.key;
  }
  const uint64_t written = records.size();
  batch.clear();
  return written;
}

void report_shard_progress(const ProgressHandle& progress, std::atomic<uint64_t>& written, uint64_t total, size_t shard,
                           uint64_t n) {
  if (!progress || n == 0) return;
  const uint64_t done = written.fetch_add(n, std::memory_order_relaxed) + n;
  progress->call(ProgressStage::kWritingShards, done, total,
                 "shard " + std::to_string(shard) + ": writing " + std::to_string(done) + " records");
}

Result<uint64_t> write_shard_records(WritableDatabase& db, const HeldDirectory& dir, std::span<const std::string> runs,
                                     size_t insert_batch, size_t shard, std::atomic<uint64_t>& written, uint64_t total,
                                     const ProgressHandle& progress, uint64_t build_id) {
  auto txn = db.begin_write();
  if (!txn) return std::unexpected(std::move(txn.error()));
  auto records = txn->open_table(kRecordsTable);
  if (!records) return std::unexpected(std::move(records.error()));

  std::vector<RunReader> readers;
  readers.reserve(runs.size());
  MergeHeap heap(readers);
  for (size_t run = 0; run < runs.size(); ++run) {
    auto reader = RunReader::open(dir, runs[run]);
    if (!reader) return std::unexpected(std::move(reader.error()));
    readers.push_back(std::move(*reader));
    CORV_TRY(advance_run(readers, run, heap));
  }

  ShardBatch batch;
  batch.reserve(batch_room(dir, runs, insert_batch));
  std::string value;
  value.reserve(kValueBufferBytes);
  std::optional<uint64_t> last_key;
  uint64_t own_total = 0;
  std::vector<size_t> to_advance;
  std::string term;
  std::vector<Posting> postings;

  while (!heap.empty()) {
    const uint64_t hash = heap.top_hash();
    const size_t first = heap.pop();
    TermFrame& frame = readers[first].frame;
    term.swap(frame.term);
    postings.swap(frame.postings);
    to_advance.assign(1, first);
    while (!heap.empty() && heap.top_hash() == hash && readers[heap.top_run()].frame.term == term) {
      const size_t same = heap.pop();
      const auto& more = readers[same].frame.postings;
      postings.insert(postings.end(), more.begin(), more.end());
      to_advance.push_back(same);
    }
    sort_unique(postings);
    for (size_t run : to_advance) CORV_TRY(advance_run(readers, run, heap));

    value.clear();
    encode_term_record<Posting>(term, std::span<const Posting>(postings), value);
    batch.add(hash, value);
    if (insert_batch != 0 && batch.size() >= insert_batch) {
      auto n = flush_shard_batch(*records, batch, last_key);
      if (!n) return std::unexpected(std::move(n.error()));
      report_shard_progress(progress, written, total, shard, *n);
      own_total += *n;
    }
  }

  auto n = flush_shard_batch(*records, batch, last_key);
  if (!n) return std::unexpected(std::move(n.error()));
  report_shard_progress(progress, written, total, shard, *n);
  own_total += *n;

  // The store writes a large transaction out in pieces that readers could
  // see, so the build id goes in last: a shard whose writer failed half way
  // must never pin as part of a complete generation.
  {
    auto meta = txn->open_table(kMetaTable);
    if (!meta) return std::unexpected(std::move(meta.error()));
    CORV_TRY(meta->insert(kMetaBuildId, std::to_string(build_id)));
  }
  CORV_TRY(txn->commit(Durability::kNone));
  auto sync = db.begin_write();
  if (!sync) return std::unexpected(std::move(sync.error()));
  CORV_TRY(sync->commit());
  return own_total;
}

}  // namespace corv::fullmap
