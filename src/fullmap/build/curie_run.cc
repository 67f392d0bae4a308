#include "fullmap/build/curie_run.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

namespace corv::fullmap {

std::string curie_run_name(uint64_t run) {
  char name[48];
  std::snprintf(name, sizeof name, "curie_run_%08" PRIu64 ".bin", run);
  return name;
}

Result<std::string> spill_curie_run(CurieRunBatch& batch, const HeldDirectory& dir, uint64_t run) {
  std::string name = curie_run_name(run);
  auto out = RunWriter::create(dir, name);
  if (!out) return std::unexpected(std::move(out.error()));
  auto write_rows = [&]() -> Status {
    for (const CurieRunRow& row : batch) {
      CORV_TRY(out->write_u32(row.curie_id));
      CORV_TRY(out->write_str32(row.row));
    }
    return out->finish();
  };
  Status written = write_rows();
  // Drained on failure too: the caller fails the build either way.
  batch.clear();
  if (!written) return std::unexpected(std::move(written.error()));
  return name;
}

Result<CurieRunReader> CurieRunReader::open(const HeldDirectory& dir, const std::string& name) {
  auto input = RunInput::open(dir, name, kCurieRunReadBufferBytes);
  if (!input) return std::unexpected(std::move(input.error()));
  return CurieRunReader(std::move(*input));
}

Result<std::optional<CurieRunRow>> CurieRunReader::next_row() {
  auto leading = input_.read_leading_u32();
  if (!leading) return std::unexpected(std::move(leading.error()));
  if (!*leading) return std::nullopt;
  CurieRunRow row;
  row.curie_id = **leading;
  auto length = input_.read_u32();
  if (!length) return std::unexpected(std::move(length.error()));
  CORV_TRY(input_.read_string(*length, row.row));
  return row;
}

}  // namespace corv::fullmap
