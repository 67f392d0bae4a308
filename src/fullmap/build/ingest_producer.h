// Producer side of the synonym ingest: reads synonym files line by line and
// sends their non-blank lines, in chunks of about `chunk_bytes`, to the
// workers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "common/status.h"
#include "fullmap/build/chunk_channel.h"
#include "fullmap/build/progress.h"

namespace corv::fullmap {

inline constexpr char kSendOnClosedChannel[] = "sending on a closed channel";

// Shared by reference with every producer.
struct ProducerState {
  const std::vector<std::filesystem::path>& synonyms;
  const absl::flat_hash_map<std::string, uint8_t>& source_ids;
  size_t chunk_bytes = 0;
  ProgressHandle progress;
  std::atomic<size_t> next_file{0};
  // Feed the progress reports only; untouched without a progress callable.
  std::atomic<uint64_t> rows_sent{0};
  std::atomic<uint64_t> files_done{0};
};

// Reads one synonym file and sends its chunks. Reports stage 1 after each
// full chunk and at the end of the file.
Status produce_file(const std::filesystem::path& path, ChunkSender& sender, ProducerState& state);

// Takes files in list order until none is left; stops at its first error
// while the other producers go on.
Status producer_loop(ChunkSender sender, ProducerState& state);

}  // namespace corv::fullmap
