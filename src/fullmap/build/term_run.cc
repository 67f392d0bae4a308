#include "fullmap/build/term_run.h"

#include <xxhash.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <utility>

namespace corv::fullmap {
namespace {

struct SpillEntry {
  uint64_t hash;
  std::string term;
  std::vector<Posting> postings;
};

Status write_frame(RunWriter& out, SpillEntry& entry) {
  auto& postings = entry.postings;
  if (postings.size() >= 2) {
    std::sort(postings.begin(), postings.end());
    postings.erase(std::unique(postings.begin(), postings.end()), postings.end());
  }
  if (postings.size() > std::numeric_limits<uint32_t>::max()) {
    return fail_runtime("term has too many postings for a run frame");
  }
  CORV_TRY(out.write_str32(entry.term));
  CORV_TRY(out.write_u32(static_cast<uint32_t>(postings.size())));
  for (const Posting& p : postings) {
    unsigned char b[5] = {static_cast<unsigned char>(p.curie_id), static_cast<unsigned char>(p.curie_id >> 8),
                          static_cast<unsigned char>(p.curie_id >> 16),
                          static_cast<unsigned char>(p.curie_id >> 24), p.source_id};
    CORV_TRY(out.write(b, 5));
  }
  return {};
}

}  // namespace

std::filesystem::path term_run_path(const std::filesystem::path& dir, size_t shard, uint64_t run) {
  char name[64];
  std::snprintf(name, sizeof name, "run_s%zu_%08" PRIu64 ".bin", shard, run);
  return dir / name;
}

Result<std::vector<ShardRun>> spill_run(TermMap& terms, const std::filesystem::path& dir, uint64_t run,
                                        size_t shard_count) {
  const uint64_t mask = shard_count - 1;
  std::vector<std::vector<SpillEntry>> partitions(shard_count);
  // extract() moves each key out without copying it and, unlike clear(),
  // leaves the table's allocation in place for the next round of terms.
  for (auto it = terms.begin(); it != terms.end();) {
    auto node = terms.extract(it++);
    uint64_t hash = XXH64(node.key().data(), node.key().size(), 0);
    partitions[hash & mask].push_back({hash, std::move(node.key()), std::move(node.mapped())});
  }

  std::vector<ShardRun> written;
  for (size_t shard = 0; shard < shard_count; ++shard) {
    auto& entries = partitions[shard];
    if (entries.empty()) continue;
    std::sort(entries.begin(), entries.end(), [](const SpillEntry& a, const SpillEntry& b) {
      if (a.hash != b.hash) return a.hash < b.hash;
      return a.term < b.term;
    });
    std::filesystem::path path = term_run_path(dir, shard, run);
    auto out = RunWriter::create(path);
    if (!out) return std::unexpected(std::move(out.error()));
    for (SpillEntry& entry : entries) CORV_TRY(write_frame(*out, entry));
    CORV_TRY(out->finish());
    written.push_back({shard, std::move(path)});
    // Free each partition as soon as it is on disk.
    std::vector<SpillEntry>().swap(entries);
  }
  return written;
}

Result<RunReader> RunReader::open(const std::filesystem::path& path) {
  auto input = RunInput::open(path, kTermRunReadBufferBytes);
  if (!input) return std::unexpected(std::move(input.error()));
  return RunReader(std::move(*input));
}

Result<std::optional<TermFrame>> RunReader::read_frame() {
  uint8_t low;
  auto got = input_.read_byte(low);
  if (!got) return std::unexpected(std::move(got.error()));
  if (!*got) return std::nullopt;
  unsigned char rest[3];
  CORV_TRY(input_.read_exact(rest, 3));
  uint32_t length = uint32_t{low} | uint32_t{rest[0]} << 8 | uint32_t{rest[1]} << 16 | uint32_t{rest[2]} << 24;

  TermFrame frame;
  CORV_TRY(input_.read_string(length, frame.term));
  if (!utf8_valid(frame.term)) return fail_runtime(std::string(kInvalidUtf8Message));

  auto count = input_.read_u32();
  if (!count) return std::unexpected(std::move(count.error()));
  // A corrupt count must not reserve gigabytes before the read fails, so
  // read the postings in bounded slices.
  constexpr uint32_t kSlice = 4096;
  frame.postings.reserve(std::min(*count, kSlice));
  unsigned char bytes[kSlice * 5];
  for (uint32_t left = *count; left > 0;) {
    uint32_t take = std::min(left, kSlice);
    CORV_TRY(input_.read_exact(bytes, size_t{take} * 5));
    for (uint32_t i = 0; i < take; ++i) {
      const unsigned char* b = bytes + size_t{i} * 5;
      frame.postings.push_back(
          {uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24, b[4]});
    }
    left -= take;
  }
  return frame;
}

Result<uint64_t> count_run_frames(const std::filesystem::path& path) {
  auto opened = RunInput::open(path, kTermRunReadBufferBytes);
  if (!opened) return std::unexpected(std::move(opened.error()));
  RunInput& input = *opened;
  uint64_t frames = 0;
  for (;;) {
    uint8_t low;
    auto got = input.read_byte(low);
    if (!got) return std::unexpected(std::move(got.error()));
    if (!*got) return frames;
    unsigned char rest[3];
    CORV_TRY(input.read_exact(rest, 3));
    uint32_t length = uint32_t{low} | uint32_t{rest[0]} << 8 | uint32_t{rest[1]} << 16 | uint32_t{rest[2]} << 24;
    CORV_TRY(input.skip(length));
    auto count = input.read_u32();
    if (!count) return std::unexpected(std::move(count.error()));
    CORV_TRY(input.skip(uint64_t{*count} * 5));
    ++frames;
  }
}

}  // namespace corv::fullmap
