// Term runs: a worker's term map spilled as one sorted file per shard.
//
// Frame: u32 term length, term bytes (UTF-8), u32 posting count, then per
// posting u32 CURIE id and u8 source id; little-endian, no header. Frames
// ascend by (XXH64 of the term, term bytes), a term occurs once per file and
// its postings are sorted and distinct. Every term of run_s{k}_* belongs to
// shard k (hash & (shard_count - 1)).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/status.h"
#include "fullmap/build/run_io.h"
#include "fullmap/build/term_map.h"

namespace corv::fullmap {

struct TermFrame {
  std::string term;
  std::vector<Posting> postings;
};

// A term run: its name in the spill directory.
struct ShardRun {
  size_t shard = 0;
  std::string name;
};

// "run_s{shard}_{run:08}.bin".
std::string term_run_name(size_t shard, uint64_t run);

// Drains `terms` (it keeps its capacity) into one file of `dir` per
// non-empty shard, all numbered `run`. `shard_count` is a power of two.
// Returns the files in ascending shard order. On failure, files already
// completed stay on disk.
Result<std::vector<ShardRun>> spill_run(TermMap& terms, const HeldDirectory& dir, uint64_t run, size_t shard_count);

// Reads one term run front to back through a 1 MiB buffer.
class RunReader {
 public:
  static Result<RunReader> open(const HeldDirectory& dir, const std::string& name);

  // Replaces `frame` with the next frame, reusing its storage up to
  // kKeptTermBytes and kKeptPostings; false at a clean end (end of file at a
  // frame boundary), leaving `frame` as it was.
  Result<bool> read_frame();

  // The frame last read. A merge may swap its string and vector for its
  // own, so that reading frame after frame rarely allocates.
  TermFrame frame;

 private:
  static constexpr size_t kKeptTermBytes = 4096;
  static constexpr size_t kKeptPostings = 4096;

  explicit RunReader(RunInput input) : input_(std::move(input)) {}
  RunInput input_;
};

// Number of frames in a term run, for progress totals. Checks no UTF-8; a
// final frame whose postings are cut short by the end of the file counts.
Result<uint64_t> count_run_frames(const HeldDirectory& dir, const std::string& name);

}  // namespace corv::fullmap
