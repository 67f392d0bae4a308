#include "fullmap/build/ingest_producer.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "common/line_reader.h"
#include "fullmap/build/input_reader.h"
#include "fullmap/build/run_io.h"
#include "fullmap/build/source_name.h"

namespace corv::fullmap {
namespace {

// Large enough that a chunk rarely regrows, small enough that a huge
// setting does not reserve memory the input never fills.
constexpr size_t kMaxChunkReserve = size_t{64} << 20;
constexpr char kMiddleDot[] = " \xC2\xB7 ";

Chunk new_chunk(uint8_t source_id, size_t chunk_bytes) {
  Chunk chunk;
  chunk.source_id = source_id;
  chunk.reserve(std::min(chunk_bytes, kMaxChunkReserve));
  return chunk;
}

}  // namespace

Status produce_file(const std::filesystem::path& path, ChunkSender& sender, ProducerState& state) {
  const std::string name = source_name(path);
  auto source = state.source_ids.find(name);
  if (source == state.source_ids.end()) return fail_runtime("uninterned source " + name);
  const uint8_t source_id = source->second;
  Progress* progress = state.progress.get();

  auto input = open_reader(path);
  if (!input) return fail(std::move(input.error()));
  LineReader reader(std::move(*input));
  std::string line;
  line.reserve(LineReader::kBufferBytes);

  Chunk chunk = new_chunk(source_id, state.chunk_bytes);
  for (;;) {
    auto read = reader.read_line(line);
    if (!read) return fail(std::move(read.error()));
    if (*read == 0) break;
    const std::string_view text = trim_line_end(line);
    if (is_blank_line(text)) continue;
    // The row decoder only checks the strings it keeps; a line is text as
    // a whole, as it is for the class files.
    if (!is_valid_utf8(text)) return fail_runtime(std::string(kInvalidUtf8Message));
    chunk.add_line(text);
    if (chunk.byte_count() < state.chunk_bytes) continue;

    const size_t lines = chunk.line_count();
    if (!sender.send(std::exchange(chunk, new_chunk(source_id, state.chunk_bytes)))) {
      return fail_runtime(kSendOnClosedChannel);
    }
    if (progress) {
      uint64_t rows = state.rows_sent.fetch_add(lines, std::memory_order_relaxed) + lines;
      progress->call(ProgressStage::kReadingSynonyms, rows, 0, name + kMiddleDot + std::to_string(rows) + " rows");
    }
  }

  // The last, partial chunk is counted by the end-of-file report.
  const size_t lines = chunk.line_count();
  if (lines > 0 && !sender.send(std::move(chunk))) return fail_runtime(kSendOnClosedChannel);
  if (progress) {
    uint64_t rows = state.rows_sent.fetch_add(lines, std::memory_order_relaxed) + lines;
    uint64_t files = state.files_done.fetch_add(1, std::memory_order_relaxed) + 1;
    progress->call(ProgressStage::kReadingSynonyms, rows, 0,
                   name + kMiddleDot + std::to_string(rows) + " rows (" + std::to_string(files) + "/" +
                       std::to_string(state.synonyms.size()) + " files)");
  }
  return {};
}

Status producer_loop(ChunkSender sender, ProducerState& state) {
  for (;;) {
    size_t i = state.next_file.fetch_add(1, std::memory_order_relaxed);
    if (i >= state.synonyms.size()) return {};
    CORV_TRY(produce_file(state.synonyms[i], sender, state));
  }
}

}  // namespace corv::fullmap
