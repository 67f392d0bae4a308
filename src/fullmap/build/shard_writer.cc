#include "fullmap/build/shard_writer.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "fullmap/build/term_run.h"
#include "fullmap/store/record_encoding.h"

namespace corv::fullmap {
namespace {

constexpr size_t kValueBufferBytes = 256;

struct MergeEntry {
  uint64_t hash = 0;
  std::string term;
  size_t run = 0;
  std::vector<Posting> postings;
};

// Heap order: the entry that must leave the merge first is the greatest.
// Smallest hash, then smallest term bytes; for equal terms the larger run
// index (runs never have two entries queued, so postings never decide).
struct MergeLess {
  bool operator()(const MergeEntry& a, const MergeEntry& b) const {
    if (a.hash != b.hash) return a.hash > b.hash;
    if (int c = a.term.compare(b.term); c != 0) return c > 0;
    if (a.run != b.run) return a.run < b.run;
    return a.postings < b.postings;
  }
};

class MergeHeap {
 public:
  bool empty() const { return entries_.empty(); }
  const MergeEntry& top() const { return entries_.front(); }

  void push(TermFrame frame, size_t run) {
    const uint64_t hash = term_hash(frame.term);
    entries_.push_back(MergeEntry{hash, std::move(frame.term), run, std::move(frame.postings)});
    std::push_heap(entries_.begin(), entries_.end(), MergeLess{});
  }

  MergeEntry pop() {
    std::pop_heap(entries_.begin(), entries_.end(), MergeLess{});
    MergeEntry out = std::move(entries_.back());
    entries_.pop_back();
    return out;
  }

 private:
  std::vector<MergeEntry> entries_;
};

// Reads the next frame of `readers[run]` into the heap; nothing at its end.
Status advance_run(std::vector<RunReader>& readers, size_t run, MergeHeap& heap) {
  auto frame = readers[run].read_frame();
  if (!frame) return std::unexpected(std::move(frame.error()));
  if (*frame) heap.push(std::move(**frame), run);
  return {};
}

void sort_unique(std::vector<Posting>& postings) {
  if (postings.size() < 2) return;
  std::sort(postings.begin(), postings.end());
  postings.erase(std::unique(postings.begin(), postings.end()), postings.end());
}

ShardRecord make_record(uint64_t key, std::string_view term, const std::vector<Posting>& postings,
                        std::string& buffer) {
  buffer.clear();
  encode_term_record<Posting>(term, std::span<const Posting>(postings), buffer);
  ShardRecord record{key, std::make_unique_for_overwrite<char[]>(buffer.size()), buffer.size()};
  std::memcpy(record.value.get(), buffer.data(), buffer.size());
  return record;
}

}  // namespace

Result<uint64_t> flush_shard_batch(RecordsTable& table, std::vector<ShardRecord>& batch,
                                   std::optional<uint64_t>& last_key) {
  if (batch.empty()) return 0;
  const auto by_key = [](const ShardRecord& a, const ShardRecord& b) { return a.key < b.key; };
  // Merge order already ascends; equal keys must keep their order so that
  // the greatest term of a collision is written last.
  if (!std::is_sorted(batch.begin(), batch.end(), by_key)) {
    std::stable_sort(batch.begin(), batch.end(), by_key);
  }
  for (const ShardRecord& record : batch) {
    const std::string_view value(record.value.get(), record.size);
    if (last_key && record.key <= *last_key) {
      CORV_TRY(table.insert(record.key, value));
    } else {
      CORV_TRY(table.append(record.key, value));
    }
    last_key = record.key;
  }
  const uint64_t written = batch.size();
  batch.clear();
  return written;
}

void report_shard_progress(const ProgressHandle& progress, std::atomic<uint64_t>& written, uint64_t total,
                           size_t shard, uint64_t n) {
  if (!progress || n == 0) return;
  const uint64_t done = written.fetch_add(n, std::memory_order_relaxed) + n;
  progress->call(2, done, total, "shard " + std::to_string(shard) + ": writing " + std::to_string(done) + " records");
}

Result<uint64_t> write_shard_records(WritableDatabase& db, std::span<const std::filesystem::path> runs,
                                     size_t insert_batch, size_t shard, std::atomic<uint64_t>& written,
                                     uint64_t total, const ProgressHandle& progress, uint64_t build_id) {
  auto txn = db.begin_write();
  if (!txn) return std::unexpected(std::move(txn.error()));
  {
    auto meta = txn->open_table(kMetaTable);
    if (!meta) return std::unexpected(std::move(meta.error()));
    CORV_TRY(meta->insert(kMetaBuildId, std::to_string(build_id)));
  }
  auto records = txn->open_table(kRecordsTable);
  if (!records) return std::unexpected(std::move(records.error()));

  std::vector<RunReader> readers;
  readers.reserve(runs.size());
  MergeHeap heap;
  for (size_t run = 0; run < runs.size(); ++run) {
    auto reader = RunReader::open(runs[run]);
    if (!reader) return std::unexpected(std::move(reader.error()));
    readers.push_back(std::move(*reader));
    CORV_TRY(advance_run(readers, run, heap));
  }

  std::vector<ShardRecord> batch;
  batch.reserve(insert_batch);
  std::string value_buffer;
  value_buffer.reserve(kValueBufferBytes);
  std::optional<uint64_t> last_key;
  uint64_t own_total = 0;
  std::vector<size_t> to_advance;

  while (!heap.empty()) {
    MergeEntry first = heap.pop();
    std::vector<Posting> postings = std::move(first.postings);
    to_advance.assign(1, first.run);
    while (!heap.empty() && heap.top().hash == first.hash && heap.top().term == first.term) {
      MergeEntry same = heap.pop();
      postings.insert(postings.end(), same.postings.begin(), same.postings.end());
      to_advance.push_back(same.run);
    }
    sort_unique(postings);
    for (size_t run : to_advance) CORV_TRY(advance_run(readers, run, heap));

    batch.push_back(make_record(first.hash, first.term, postings, value_buffer));
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

  CORV_TRY(txn->commit(Durability::kNone));
  auto sync = db.begin_write();
  if (!sync) return std::unexpected(std::move(sync.error()));
  CORV_TRY(sync->commit());
  return own_total;
}

}  // namespace corv::fullmap
