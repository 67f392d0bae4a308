#include "fullmap/build/term_run.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <span>
#include <utility>

namespace corv::fullmap {
namespace {

// A term's place in the spill order; the entry is read only on a hash tie
// and when its frame is written.
struct SpillKey {
  uint64_t hash;
  const TermMap::Entry* entry;
};

// Sorts and de-duplicates `postings` in place before writing them.
Status write_frame(RunWriter& out, std::string_view term, std::span<Posting> postings,
                   std::vector<unsigned char>& bytes) {
  size_t count = postings.size();
  if (count >= 2) {
    std::sort(postings.begin(), postings.end());
    count = static_cast<size_t>(std::unique(postings.begin(), postings.end()) - postings.begin());
  }
  CORV_TRY(out.write_str32(term));
  CORV_TRY(out.write_u32(static_cast<uint32_t>(count)));
  bytes.resize(count * 5);
  unsigned char* b = bytes.data();
  for (const Posting& p : postings.first(count)) {
    b[0] = static_cast<unsigned char>(p.curie_id);
    b[1] = static_cast<unsigned char>(p.curie_id >> 8);
    b[2] = static_cast<unsigned char>(p.curie_id >> 16);
    b[3] = static_cast<unsigned char>(p.curie_id >> 24);
    b[4] = p.source_id;
    b += 5;
  }
  return out.write(bytes.data(), bytes.size());
}

}  // namespace

std::string term_run_name(size_t shard, uint64_t run) {
  char name[64];
  std::snprintf(name, sizeof name, "run_s%zu_%08" PRIu64 ".bin", shard, run);
  return name;
}

Result<std::vector<ShardRun>> spill_run(TermMap& terms, const HeldDirectory& dir, uint64_t run, size_t shard_count) {
  // Drained on every path, as the caller's next round starts from empty.
  struct Drain {
    TermMap& map;
    ~Drain() { map.clear(); }
  } drain{terms};

  // Counting sort by shard over the table, which is read once, in order.
  const uint64_t mask = shard_count - 1;
  std::vector<size_t> starts(shard_count + 1, 0);
  terms.for_each([&](const TermMap::Entry& e) { ++starts[(e.hash & mask) + 1]; });
  for (size_t k = 0; k < shard_count; ++k) starts[k + 1] += starts[k];
  std::vector<SpillKey> keys(terms.size());
  {
    std::vector<size_t> fill(starts.begin(), starts.end() - 1);
    terms.for_each([&](const TermMap::Entry& e) { keys[fill[e.hash & mask]++] = {e.hash, &e}; });
  }

  const auto by_hash_then_term = [](const SpillKey& a, const SpillKey& b) {
    if (a.hash != b.hash) return a.hash < b.hash;
    return a.entry->term() < b.entry->term();
  };
  for (size_t shard = 0; shard < shard_count; ++shard) {
    std::sort(keys.begin() + static_cast<ptrdiff_t>(starts[shard]),
              keys.begin() + static_cast<ptrdiff_t>(starts[shard + 1]), by_hash_then_term);
  }
  std::vector<const TermMap::Entry*> order(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) order[i] = keys[i].entry;
  std::vector<uint32_t> offsets;
  std::vector<Posting> postings;
  terms.group_postings(order, offsets, postings);

  std::vector<ShardRun> written;
  std::vector<unsigned char> bytes;
  for (size_t shard = 0; shard < shard_count; ++shard) {
    if (starts[shard] == starts[shard + 1]) continue;
    std::string name = term_run_name(shard, run);
    auto out = RunWriter::create(dir, name);
    if (!out) return std::unexpected(std::move(out.error()));
    for (size_t i = starts[shard]; i < starts[shard + 1]; ++i) {
      const std::span<Posting> group(postings.data() + offsets[i], offsets[i + 1] - offsets[i]);
      CORV_TRY(write_frame(*out, order[i]->term(), group, bytes));
    }
    CORV_TRY(out->finish());
    written.push_back({shard, std::move(name)});
  }
  return written;
}

Result<RunReader> RunReader::open(const HeldDirectory& dir, const std::string& name) {
  auto input = RunInput::open(dir, name, kTermRunReadBufferBytes);
  if (!input) return std::unexpected(std::move(input.error()));
  return RunReader(std::move(*input));
}

Result<bool> RunReader::read_frame() {
  auto leading = input_.read_leading_u32();
  if (!leading) return std::unexpected(std::move(leading.error()));
  if (!*leading) return false;
  const uint32_t length = **leading;

  // Storage grown by a rare huge frame (or handed over by a merge) is not
  // kept for the small ones after it: a merge holds a frame per run.
  if (frame.term.capacity() > kKeptTermBytes && length <= kKeptTermBytes) std::string().swap(frame.term);
  CORV_TRY(input_.read_string(length, frame.term));
  if (auto bad = utf8_error(frame.term)) return fail_runtime(std::move(*bad));

  auto count = input_.read_u32();
  if (!count) return std::unexpected(std::move(count.error()));
  std::vector<Posting>& postings = frame.postings;
  if (postings.capacity() > kKeptPostings && *count <= kKeptPostings) std::vector<Posting>().swap(postings);
  postings.clear();
  // A corrupt count must not reserve gigabytes before the read fails, so
  // read the postings in bounded slices.
  constexpr uint32_t kSlice = 4096;
  postings.reserve(std::min(*count, kSlice));
  unsigned char bytes[kSlice * 5];
  for (uint32_t left = *count; left > 0;) {
    uint32_t take = std::min(left, kSlice);
    CORV_TRY(input_.read_exact(bytes, size_t{take} * 5));
    for (uint32_t i = 0; i < take; ++i) {
      const unsigned char* b = bytes + size_t{i} * 5;
      postings.push_back({uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24, b[4]});
    }
    left -= take;
  }
  return true;
}

Result<uint64_t> count_run_frames(const HeldDirectory& dir, const std::string& name) {
  auto opened = RunInput::open(dir, name, kTermRunReadBufferBytes);
  if (!opened) return std::unexpected(std::move(opened.error()));
  RunInput& input = *opened;
  uint64_t frames = 0;
  for (;;) {
    auto leading = input.read_leading_u32();
    if (!leading) return std::unexpected(std::move(leading.error()));
    if (!*leading) return frames;
    const uint32_t length = **leading;
    CORV_TRY(input.skip(length));
    auto count = input.read_u32();
    if (!count) return std::unexpected(std::move(count.error()));
    CORV_TRY(input.skip(uint64_t{*count} * 5));
    ++frames;
  }
}

}  // namespace corv::fullmap
