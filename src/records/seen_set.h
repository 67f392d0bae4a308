// The set of canonical records already written by one de-duplication run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include <absl/container/flat_hash_map.h>

namespace corv::records {

class SeenSet {
 public:
  using DigestFn = uint64_t (*)(std::string_view bytes);
  static uint64_t xxh64_digest(std::string_view bytes);

  // `digest` is replaceable so that collision handling can be exercised.
  explicit SeenSet(DigestFn digest = &xxh64_digest) : digest_(digest) {}
  SeenSet(const SeenSet&) = delete;
  SeenSet& operator=(const SeenSet&) = delete;

  // True (and remembers a copy) when `bytes` were not seen before. Records
  // are bucketed by XXH64 (seed 0) and compared byte for byte, so digest
  // collisions never merge different records.
  bool insert_if_new(std::string_view bytes);

  size_t size() const { return count_; }

 private:
  struct Entry {
    const char* data;
    size_t size;
    size_t next;  // index in overflow_ of the next record with this digest
  };
  static constexpr size_t kNone = ~size_t{0};

  const char* store(std::string_view bytes);

  // The first record of a digest sits in the map itself (one probe for the
  // common case); digest collisions chain through overflow_.
  DigestFn digest_;
  absl::flat_hash_map<uint64_t, Entry> heads_;
  std::vector<Entry> overflow_;
  size_t count_ = 0;
  // Record copies live in large blocks rather than one allocation each.
  // Blocks are anonymous mappings, so the memory is neither zeroed twice
  // nor faulted in 4 KiB steps where huge pages are available.
  struct Block {
    char* data;
    size_t size;
  };
  struct BlockDeleter {
    void operator()(Block* b) const;
  };
  std::vector<std::unique_ptr<Block, BlockDeleter>> blocks_;
  char* cur_ = nullptr;
  size_t left_ = 0;
  size_t next_block_ = 64 * 1024;
};

}  // namespace corv::records
