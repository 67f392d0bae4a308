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
  SeenSet() = default;
  SeenSet(const SeenSet&) = delete;
  SeenSet& operator=(const SeenSet&) = delete;

  // True (and remembers a copy) when `bytes` were not seen before. Records
  // are bucketed by XXH64 (seed 0) and compared byte for byte, so digest
  // collisions never merge different records.
  bool insert_if_new(std::string_view bytes);

  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    const char* data;
    size_t size;
    size_t next;  // next entry with the same digest, or kNone
  };
  static constexpr size_t kNone = ~size_t{0};

  const char* store(std::string_view bytes);

  absl::flat_hash_map<uint64_t, size_t> heads_;  // digest -> first entry
  std::vector<Entry> entries_;
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
