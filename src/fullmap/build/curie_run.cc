#include "fullmap/build/curie_run.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

namespace corv::fullmap {

std::filesystem::path curie_run_path(const std::filesystem::path& dir, uint64_t run) {
  char name[48];
  std::snprintf(name, sizeof name, "curie_run_%08" PRIu64 ".bin", run);
  return dir / name;
}

Result<std::filesystem::path> spill_curie_run(CurieRunBatch& batch, const std::filesystem::path& dir,
                                              uint64_t run) {
  std::filesystem::path path = curie_run_path(dir, run);
  auto out = RunWriter::create(path);
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
  return path;
}

Result<CurieRunReader> CurieRunReader::open(const std::filesystem::path& path) {
  auto input = RunInput::open(path, kCurieRunReadBufferBytes);
  if (!input) return std::unexpected(std::move(input.error()));
  return CurieRunReader(std::move(*input));
}

Result<std::optional<CurieRunRow>> CurieRunReader::next_row() {
  uint8_t low;
  auto got = input_.read_byte(low);
  if (!got) return std::unexpected(std::move(got.error()));
  if (!*got) return std::nullopt;
  unsigned char rest[3];
  CORV_TRY(input_.read_exact(rest, 3));
  CurieRunRow row;
  row.curie_id = uint32_t{low} | uint32_t{rest[0]} << 8 | uint32_t{rest[1]} << 16 | uint32_t{rest[2]} << 24;
  auto length = input_.read_u32();
  if (!length) return std::unexpected(std::move(length.error()));
  CORV_TRY(input_.read_string(*length, row.row));
  return row;
}

}  // namespace corv::fullmap
