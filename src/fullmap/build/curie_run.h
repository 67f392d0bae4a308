// CURIE-row runs: a worker's batch of new CURIE rows, in batch order.
//
// Frame: u32 CURIE id, u32 row length, the encoded CurieRow bytes;
// little-endian, no header. The rows are stored exactly as encoded and read
// back without decoding.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/status.h"
#include "fullmap/build/run_io.h"

namespace corv::fullmap {

struct CurieRunRow {
  uint32_t curie_id = 0;
  std::string row;  // encoded CurieRow
};

using CurieRunBatch = std::vector<CurieRunRow>;

// "curie_run_{run:08}.bin".
std::string curie_run_name(uint64_t run);

// Drains `batch` (it keeps its capacity) into "curie_run_{run:08}.bin" in
// `dir`; returns that name.
Result<std::string> spill_curie_run(CurieRunBatch& batch, const HeldDirectory& dir, uint64_t run);

// Reads one CURIE-row run front to back through a 1 MiB buffer.
class CurieRunReader {
 public:
  static Result<CurieRunReader> open(const HeldDirectory& dir, const std::string& name);

  // nullopt at a clean end (end of file at a frame boundary).
  Result<std::optional<CurieRunRow>> next_row();

 private:
  explicit CurieRunReader(RunInput input) : input_(std::move(input)) {}
  RunInput input_;
};

}  // namespace corv::fullmap
