// The equivalence index: key CURIE -> its equivalent identifiers, merged
// from all class files into one memory-mapped file ("equiv_data.bin" in the
// spill directory). Only a hash and an offset per key stay on the heap.
//
// Entry: u32 key length, key, u32 count, count times (u32 length, bytes);
// little-endian, no header, ascending by (XXH64 of the key, key bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "absl/functional/function_ref.h"
#include "common/held_directory.h"
#include "common/status.h"
#include "fullmap/build/progress.h"
#include "fullmap/build/run_io.h"

namespace corv::fullmap {

inline constexpr uint64_t kEquivMergeProgressEvery = 1'000'000;
inline constexpr char kEquivDataFileName[] = "equiv_data.bin";
inline constexpr char kEquivRunDirName[] = "equiv";

class EquivIndex {
 public:
  // Parses `classes` (one task per file on the current oneTBB arena), spilling each file's map as
  // a sorted run under `spill`/equiv whenever it holds `spill_entries` keys, and merges the runs
  // into `spill`/equiv_data.bin. Reports stage 0. Without `spill_entries` the threshold is read
  // from the environment here, and only when there are class files.
  static Result<EquivIndex> build(std::span<const std::filesystem::path> classes, const HeldDirectory& spill,
                                  std::optional<size_t> spill_entries, const ProgressHandle& progress);

  // Opens the merged file `name` of `dir` as written by build(); `hashes`
  // and `offsets` are its entries' key hashes and byte offsets. The index
  // owns the file from here on and deletes it, through a hold of `dir` of
  // its own, when destroyed.
  static Result<EquivIndex> open(const HeldDirectory& dir, std::string name, std::vector<uint64_t> hashes,
                                 std::vector<uint64_t> offsets);

  EquivIndex(EquivIndex&& other) noexcept;
  EquivIndex& operator=(EquivIndex&& other) noexcept;
  EquivIndex(const EquivIndex&) = delete;
  EquivIndex& operator=(const EquivIndex&) = delete;
  // Deletes the data file (ignoring failure), then unmaps and closes it.
  ~EquivIndex();

  // Calls `visit` with each identifier stored for the key equal to `curie`,
  // in stored order; nothing when the key is absent. A damaged entry ends
  // the walk quietly. Safe from any number of threads.
  void equivalents(std::string_view curie, absl::FunctionRef<void(std::string_view)> visit) const;

  size_t size() const noexcept { return hashes_.size(); }
  // The merged file's size in bytes.
  size_t data_size() const noexcept { return data_size_; }

 private:
  EquivIndex() = default;
  void release() noexcept;

  HeldDirectory data_dir_;
  std::string data_name_;  // empty once deleted
  FileDescriptor data_file_;
  const unsigned char* data_ = nullptr;
  size_t data_size_ = 0;
  std::vector<uint64_t> hashes_;
  std::vector<uint64_t> offsets_;
};

}  // namespace corv::fullmap
