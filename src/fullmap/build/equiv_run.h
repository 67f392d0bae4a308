// Equivalence runs: one class-file task's key -> identifiers map, sorted.
//
// Frame: u64 XXH64 of the key, u32 key length, key bytes, u32 count, then
// count times (u32 length, bytes); little-endian, no header. Frames ascend by
// (hash, key bytes), a key occurs once per file, and each identifier list is
// sorted and distinct.
#pragma once

#include <atomic>
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "common/status.h"
#include "fullmap/build/run_io.h"

namespace corv::fullmap {

// Key CURIE -> identifiers in the order met, repeats included.
using EquivMap = absl::flat_hash_map<std::string, std::vector<std::string>>;

// Run files written by all class-file tasks of one build: their names in
// the directory they were spilled to.
struct EquivRunList {
  std::shared_mutex mutex;
  std::vector<std::string> names;
};

struct EquivEntry {
  uint64_t hash = 0;  // as stored
  std::string key;
  std::vector<std::string> equivalents;
};

// "run_{run:08}.bin".
std::string equiv_run_name(uint64_t run);

// Drains `map` (left as by clear()) into a run of `dir` numbered by
// `counter` and records its name in `runs`. An empty map writes nothing and draws no
// number. A failed write records nothing.
Status spill_equiv_local(EquivMap& map, const HeldDirectory& dir, std::atomic<uint64_t>& counter, EquivRunList& runs);

// Replaces `entry` with the next entry of `input`, reusing its strings
// (but not a rare huge entry's storage); false at a clean end (no byte
// left at a frame boundary), leaving `entry` as it was.
Result<bool> read_equiv_entry(RunInput& input, EquivEntry& entry);

// Reads one equivalence run front to back through an 8 MiB buffer.
class EquivRunReader {
 public:
  static Result<EquivRunReader> open(const HeldDirectory& dir, const std::string& name);

  // Replaces `entry` with the next entry; false at a clean end.
  Result<bool> read_entry() { return read_equiv_entry(input_, entry); }

  // The entry last read.
  EquivEntry entry;

 private:
  explicit EquivRunReader(RunInput input) : input_(std::move(input)) {}
  RunInput input_;
};

}  // namespace corv::fullmap
