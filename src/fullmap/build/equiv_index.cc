#include "fullmap/build/equiv_index.h"

#include <sys/mman.h>
#include <xxhash.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <utility>

#include "common/line_reader.h"
#include "common/path_components.h"
#include "common/table_room.h"
#include "common/utf8.h"
#include "fullmap/build/build_settings.h"
#include "fullmap/build/class_row.h"
#include "fullmap/build/equiv_run.h"
#include "fullmap/build/input_reader.h"
#include "oneapi/tbb/blocked_range.h"
#include "oneapi/tbb/parallel_for.h"
#include "oneapi/tbb/partitioner.h"

namespace corv::fullmap {
namespace {

uint32_t load_u32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The last component of `path` as text (final_name()).
std::string progress_name(const std::filesystem::path& path) { return utf8_lossy(final_name(path.native())); }

struct ParallelState {
  size_t spill_entries = 0;
  const HeldDirectory* run_dir = nullptr;
  std::atomic<uint64_t> run_counter{0};
  EquivRunList runs{};
  // Taken and reported under one lock, so reports arrive in count order.
  std::mutex report_mutex{};
  uint64_t files_finished = 0;
  // Keys written to runs: an upper bound on the merged key count.
  std::atomic<uint64_t> keys_spilled{0};
};

Status spill(EquivMap& map, ParallelState& state) {
  size_t keys = map.size();
  CORV_TRY(spill_equiv_local(map, *state.run_dir, state.run_counter, state.runs));
  state.keys_spilled.fetch_add(keys, std::memory_order_relaxed);
  return {};
}

Status ingest_class_file(const std::filesystem::path& path, ParallelState& state) {
  auto source = open_reader(path);
  if (!source) return std::unexpected(std::move(source.error()));
  LineReader lines(std::move(*source));
  std::string line;
  line.reserve(8192);
  ClassRow row;
  std::string key;
  std::vector<std::string> ids;
  EquivMap map;
  for (;;) {
    auto got = lines.read_line(line);
    if (!got) return std::unexpected(std::move(got.error()));
    if (*got == 0) break;
    if (!is_valid_utf8(line)) return fail_runtime(std::string(kInvalidUtf8Message));
    const std::string_view text = trim_line_end(line);
    if (is_blank_line(text)) continue;
    CORV_TRY(decode_class_row(text, row));
    if (!take_class_row_key(row, key, ids)) continue;
    make_room(map);
    auto& list = map[std::move(key)];
    if (list.empty()) {
      list.swap(ids);
    } else {
      list.insert(list.end(), std::make_move_iterator(ids.begin()), std::make_move_iterator(ids.end()));
    }
    if (map.size() >= state.spill_entries) {
      const size_t capacity = map.capacity();
      CORV_TRY(spill(map, state));
      // The next rows fill a table as large; allocated only now that the
      // spilled entries are gone.
      map = EquivMap(capacity);
    }
  }
  return spill(map, state);
}

// The merge queue: each run's current entry waits in its reader, so the
// queue holds only (hash, run) and reordering it moves no strings.
struct Queued {
  uint64_t hash;
  size_t run;
};

// std heap functions keep the greatest element on top; "greater" here is
// the smallest (hash, key) and, among equals, the larger run index.
struct MergeBelow {
  const std::vector<EquivRunReader>& readers;
  bool operator()(const Queued& a, const Queued& b) const {
    if (a.hash != b.hash) return a.hash > b.hash;
    if (int c = readers[a.run].entry.key.compare(readers[b.run].entry.key); c != 0) return c > 0;
    return a.run < b.run;
  }
};

Status push_next(std::vector<EquivRunReader>& readers, size_t run, std::vector<Queued>& heap) {
  auto more = readers[run].read_entry();
  if (!more) return std::unexpected(std::move(more.error()));
  if (!*more) return {};
  heap.push_back({readers[run].entry.hash, run});
  std::push_heap(heap.begin(), heap.end(), MergeBelow{readers});
  return {};
}

size_t pop_top(const std::vector<EquivRunReader>& readers, std::vector<Queued>& heap) {
  std::pop_heap(heap.begin(), heap.end(), MergeBelow{readers});
  const size_t run = heap.back().run;
  heap.pop_back();
  return run;
}

Status merge_runs(const HeldDirectory& run_dir, const std::vector<std::string>& run_names, const HeldDirectory& spill,
                  uint64_t key_bound, const ProgressHandle& progress, std::vector<uint64_t>& hashes,
                  std::vector<uint64_t>& offsets) {
  auto out = RunWriter::create(spill, kEquivDataFileName);
  if (!out) return std::unexpected(std::move(out.error()));

  // Reserved in full: the queue's comparisons hold on to the readers.
  std::vector<EquivRunReader> readers;
  readers.reserve(run_names.size());
  std::vector<Queued> heap;
  heap.reserve(run_names.size());
  for (size_t run = 0; run < run_names.size(); ++run) {
    auto reader = EquivRunReader::open(run_dir, run_names[run]);
    if (!reader) return std::unexpected(std::move(reader.error()));
    readers.push_back(std::move(*reader));
    CORV_TRY(push_next(readers, run, heap));
  }

  // Large reservations stay virtual until written, so the bound costs no
  // resident memory beyond the keys actually merged, and the arrays never
  // go through a copying regrowth.
  hashes.reserve(key_bound);
  offsets.reserve(key_bound);

  uint64_t offset = 0;
  uint64_t count = 0;
  std::vector<size_t> group;
  std::vector<std::string_view> ids;
  while (!heap.empty()) {
    const size_t first = pop_top(readers, heap);
    const EquivEntry& item = readers[first].entry;
    group.assign(1, first);
    while (!heap.empty() && heap.front().hash == item.hash && readers[heap.front().run].entry.key == item.key) {
      group.push_back(pop_top(readers, heap));
    }
    // A run's list is sorted and distinct already; lists of several runs are
    // joined and made so again.
    ids.clear();
    for (size_t run : group) {
      for (const std::string& id : readers[run].entry.equivalents) ids.emplace_back(id);
    }
    if (group.size() > 1) {
      std::sort(ids.begin(), ids.end());
      ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    }
    if (ids.size() > UINT32_MAX) return fail_runtime("key has too many equivalents for the index");
    CORV_TRY(out->write_str32(item.key));
    CORV_TRY(out->write_u32(static_cast<uint32_t>(ids.size())));
    uint64_t size = 8 + item.key.size();
    for (const std::string_view id : ids) {
      CORV_TRY(out->write_str32(id));
      size += 4 + id.size();
    }
    hashes.push_back(item.hash);
    offsets.push_back(offset);
    offset += size;
    // Written: the entries' storage may now take the runs' next entries.
    for (size_t run : group) CORV_TRY(push_next(readers, run, heap));

    ++count;
    if (progress && count % kEquivMergeProgressEvery == 0)
      progress->call(ProgressStage::kMergingEquivalents, count, 0, "merging equivalents");
  }
  return out->finish();
}

}  // namespace

Result<EquivIndex> EquivIndex::build(std::span<const std::filesystem::path> classes, const HeldDirectory& spill,
                                     std::optional<size_t> spill_entries, const ProgressHandle& progress) {
  auto made = spill.make_directory(kEquivRunDirName, 0777);
  if (!made) return std::unexpected(std::move(made.error()));
  auto run_dir = spill.open_directory(kEquivRunDirName);
  if (!run_dir) return std::unexpected(std::move(run_dir.error()));

  if (classes.empty()) {
    auto out = RunWriter::create(spill, kEquivDataFileName, 1);
    if (!out) return std::unexpected(std::move(out.error()));
    CORV_TRY(out->finish());
    return open(spill, kEquivDataFileName, {}, {});
  }

  ParallelState state{.spill_entries = spill_entries ? *spill_entries : read_equiv_spill_entries(),
                      .run_dir = &*run_dir};

  std::vector<Status> results(classes.size());
  const uint64_t total = classes.size();
  tbb::parallel_for(
      tbb::blocked_range<size_t>(0, classes.size(), 1),
      [&](const tbb::blocked_range<size_t>& range) {
        for (size_t i = range.begin(); i != range.end(); ++i) {
          results[i] = ingest_class_file(classes[i], state);
          if (results[i] && progress) {
            std::lock_guard lock(state.report_mutex);
            progress->call(ProgressStage::kMergingEquivalents, ++state.files_finished, total,
                           progress_name(classes[i]));
          }
        }
      },
      tbb::simple_partitioner());
  for (Status& result : results) {
    if (!result) return std::unexpected(std::move(result.error()));
  }

  std::vector<std::string> run_names;
  {
    std::unique_lock lock(state.runs.mutex);
    run_names = std::move(state.runs.names);
  }
  std::vector<uint64_t> hashes, offsets;
  CORV_TRY(merge_runs(*run_dir, run_names, spill, state.keys_spilled.load(), progress, hashes, offsets));
  (void)spill.remove_all(kEquivRunDirName);  // leftovers go with the spill directory
  return open(spill, kEquivDataFileName, std::move(hashes), std::move(offsets));
}

Result<EquivIndex> EquivIndex::open(const HeldDirectory& dir, std::string name, std::vector<uint64_t> hashes,
                                    std::vector<uint64_t> offsets) {
  EquivIndex index;
  auto own_dir = dir.reopen();
  if (!own_dir) return std::unexpected(std::move(own_dir.error()));
  auto fd = dir.open_file(name);
  if (!fd) return std::unexpected(std::move(fd.error()));
  auto info = file_info(fd->get());
  if (!info) return fail(std::move(info.error()));
  const size_t size = static_cast<size_t>(info->size);
  if (size > 0) {
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd->get(), 0);
    if (map == MAP_FAILED) return fail_io(errno);
    index.data_ = static_cast<const unsigned char*>(map);
    index.data_size_ = size;
  }
  index.data_dir_ = std::move(*own_dir);
  index.data_name_ = std::move(name);
  index.data_file_ = std::move(*fd);
  index.hashes_ = std::move(hashes);
  index.offsets_ = std::move(offsets);
  return index;
}

EquivIndex::EquivIndex(EquivIndex&& other) noexcept
    : data_dir_(std::move(other.data_dir_)),
      data_name_(std::exchange(other.data_name_, {})),
      data_file_(std::move(other.data_file_)),
      data_(std::exchange(other.data_, nullptr)),
      data_size_(std::exchange(other.data_size_, 0)),
      hashes_(std::move(other.hashes_)),
      offsets_(std::move(other.offsets_)) {}

EquivIndex& EquivIndex::operator=(EquivIndex&& other) noexcept {
  if (this != &other) {
    release();
    data_dir_ = std::move(other.data_dir_);
    data_name_ = std::exchange(other.data_name_, {});
    data_file_ = std::move(other.data_file_);
    data_ = std::exchange(other.data_, nullptr);
    data_size_ = std::exchange(other.data_size_, 0);
    hashes_ = std::move(other.hashes_);
    offsets_ = std::move(other.offsets_);
  }
  return *this;
}

EquivIndex::~EquivIndex() { release(); }

void EquivIndex::release() noexcept {
  if (!data_name_.empty()) {
    (void)data_dir_.remove_file(data_name_);
    data_name_.clear();
  }
  data_dir_ = HeldDirectory();
  if (data_ != nullptr) ::munmap(const_cast<unsigned char*>(data_), data_size_);
  data_ = nullptr;
  data_size_ = 0;
  data_file_.reset();
  hashes_.clear();
  offsets_.clear();
}

void EquivIndex::equivalents(std::string_view curie, absl::FunctionRef<void(std::string_view)> visit) const {
  const uint64_t h = XXH64(curie.data(), curie.size(), 0);
  size_t i = static_cast<size_t>(std::lower_bound(hashes_.begin(), hashes_.end(), h) - hashes_.begin());
  for (; i < hashes_.size() && hashes_[i] == h; ++i) {
    const uint64_t off = offsets_[i];
    if (off > data_size_) return;
    const uint64_t rem = data_size_ - off;
    if (rem < 4) return;
    const uint64_t k = load_u32(data_ + off);
    if (4 + k > rem) return;
    std::string_view key(reinterpret_cast<const char*>(data_ + off + 4), k);
    if (!is_valid_utf8(key)) return;
    if (key != curie) continue;
    if (8 + k > rem) return;
    const uint32_t n = load_u32(data_ + off + 4 + k);
    uint64_t pos = off + 8 + k;
    for (uint32_t j = 0; j < n; ++j) {
      const uint64_t left = data_size_ - pos;
      if (left < 4) return;
      const uint64_t l = load_u32(data_ + pos);
      if (4 + l > left) return;
      std::string_view id(reinterpret_cast<const char*>(data_ + pos + 4), l);
      if (!is_valid_utf8(id)) return;
      visit(id);
      pos += 4 + l;
    }
    return;
  }
}

}  // namespace corv::fullmap
