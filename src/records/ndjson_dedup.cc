#include "records/ndjson_dedup.h"

#include <memory>
#include <string>
#include <utility>

#include "common/buffered_writer.h"
#include "common/fd_io.h"
#include "common/line_reader.h"
#include "common/utf8.h"
#include "json/reader.h"
#include "records/canonical_json.h"
#include "records/edge_record.h"
#include "records/seen_set.h"
#include "records/unicode_space.h"

namespace corv::records {
namespace {

constexpr size_t kBufferSize = 8192;

// The line without its LF, and without a CR right before that LF.
std::string_view strip_line_end(std::string_view line) {
  if (!line.ends_with('\n')) return line;
  line.remove_suffix(line.ends_with("\r\n") ? 2 : 1);
  return line;
}

bool is_blank(std::string_view line) {
  for (char c : line) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 0x80) return trim_unicode_space(line).empty();
    if (u != ' ' && (u < 0x09 || u > 0x0D)) return false;
  }
  return true;
}

Status run(FileDescriptor in, FileDescriptor out, bool is_edges, std::string_view domain) {
  LineReader lines(std::make_unique<FileReader>(std::move(in)));
  BufferedWriter writer(std::move(out), kBufferSize);
  SeenSet seen;
  NameUuid namer(domain);
  json::Arena arena;
  std::string record;
  record.reserve(1024);

  Status status = [&]() -> Status {
    for (;;) {
      auto line = lines.next();
      if (!line) return fail(std::move(line.error()));
      if (!*line) return {};
      const std::string_view text = strip_line_end(**line);
      if (!is_valid_utf8(text)) return fail_runtime("stream did not contain valid UTF-8");
      if (is_blank(text)) continue;

      arena.reset();
      auto value = json::parse_borrowing(text, arena, /*assume_valid_utf8=*/true);
      if (!value) return fail(std::move(value.error()));
      record.clear();
      if (is_edges) {
        json::Value stripped = strip_nulls(*value, arena);
        if (!stripped.is_object()) return fail_runtime("expected JSON object");
        if (stripped.members().empty()) continue;
        append_edge_record(stripped, namer, record);
      } else {
        auto final_value = finalize_record(*value, is_edges, namer, arena);
        if (!final_value) return fail(std::move(final_value.error()));
        if (!*final_value) continue;
        append_compact_json(**final_value, record);
      }
      if (!seen.insert_if_new(record)) continue;
      record.push_back('\n');
      CORV_TRY(writer.write(record));
    }
  }();

  if (!status) {
    // Keep what was accepted before the failure; a write-out error here
    // must not hide the original one.
    (void)writer.flush();
    return status;
  }
  return writer.flush();
}

}  // namespace

Result<std::optional<json::Value>> finalize_record(const json::Value& value, bool is_edges, const NameUuid& namer,
                                                   json::Arena& arena) {
  json::Value stripped = strip_nulls(value, arena);
  if (stripped.is_object() && stripped.members().empty()) return std::optional<json::Value>();
  if (!is_edges) return std::optional<json::Value>(stripped);
  if (!stripped.is_object()) return fail_runtime("expected JSON object");

  char uuid[NameUuid::kTextSize];
  namer.of_object(stripped, uuid);
  json::Value id = json::Value::string(std::string_view(uuid, sizeof uuid), arena);
  auto members = stripped.members();
  size_t n = members.size();
  auto* out = arena.allocate_array<json::Member>(n + 1);
  bool replaced = false;
  for (size_t i = 0; i < n; ++i) {
    out[i] = members[i];
    if (members[i].key == "id") {
      out[i].value = id;
      replaced = true;
    }
  }
  if (!replaced) out[n++] = json::Member{"id", id};
  return std::optional<json::Value>(json::Value::adopt_object(out, n));
}

Status dedup_ndjson(const std::filesystem::path& input, const std::filesystem::path& output, bool is_edges,
                    std::string_view domain) {
  auto in = open_for_reading(input);
  if (!in) return fail(std::move(in.error()));

  // Opened before it is emptied, so that the check below sees the very file
  // that will be written, whatever the name meanwhile comes to mean.
  auto out = open_for_output(output);
  if (!out) return fail(std::move(out.error()));

  // Emptying the output would destroy the input before it is read.
  auto in_file = file_info(in->get());
  auto out_file = file_info(out->get());
  if (in_file && out_file && in_file->same_file(*out_file)) return fail_runtime("input and output are the same file");
  CORV_TRY(truncate_if_regular(out->get()));
  return run(std::move(*in), std::move(*out), is_edges, domain);
}

}  // namespace corv::records
