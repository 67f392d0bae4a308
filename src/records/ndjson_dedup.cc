#include "records/ndjson_dedup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "common/fd_io.h"
#include "common/utf8.h"
#include "json/reader.h"
#include "records/canonical_json.h"
#include "records/edge_record.h"
#include "records/seen_set.h"
#include "records/unicode_space.h"

namespace corv::records {
namespace {

constexpr size_t kBufferSize = 8192;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Splits a file into lines through one fixed 8 KiB buffer. A line that
// fits in the buffer is handed out as a view of it; a longer one is
// gathered in `long_line_`.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd), buf_(new char[kBufferSize]) {}

  // Next line without its LF (and a CR right before the LF); nullopt at end
  // of file. The view is valid until the next call.
  Result<std::optional<std::string_view>> next() {
    bool gathering = false;
    for (;;) {
      if (pos_ == len_) {
        if (eof_) {
          if (gathering) return std::optional<std::string_view>(long_line_);
          return std::optional<std::string_view>();
        }
        CORV_TRY(fill());
        continue;
      }
      const char* start = buf_.get() + pos_;
      const char* nl = static_cast<const char*>(std::memchr(start, '\n', len_ - pos_));
      if (nl != nullptr) {
        size_t n = static_cast<size_t>(nl - start);
        pos_ += n + 1;
        if (!gathering) return std::optional<std::string_view>(strip_cr(std::string_view(start, n)));
        long_line_.append(start, n);
        if (!long_line_.empty() && long_line_.back() == '\r') long_line_.pop_back();
        return std::optional<std::string_view>(long_line_);
      }
      if (!gathering) {
        long_line_.clear();
        gathering = true;
      }
      long_line_.append(start, len_ - pos_);
      pos_ = len_;
    }
  }

 private:
  static std::string_view strip_cr(std::string_view s) {
    if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
    return s;
  }

  Status fill() {
    for (;;) {
      ssize_t n = ::read(fd_, buf_.get(), kBufferSize);
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail_io(errno);
      }
      pos_ = 0;
      len_ = static_cast<size_t>(n);
      if (n == 0) eof_ = true;
      return {};
    }
  }

  int fd_;
  std::unique_ptr<char[]> buf_;
  size_t pos_ = 0;
  size_t len_ = 0;
  bool eof_ = false;
  std::string long_line_;
};

// 8 KiB write buffer; writes that do not fit go straight to the file once
// the buffer is drained.
class BufferedWriter {
 public:
  explicit BufferedWriter(int fd) : fd_(fd), buf_(new char[kBufferSize]) {}

  Status write(std::string_view data) {
    if (data.size() > kBufferSize - used_) {
      CORV_TRY(flush());
      if (data.size() >= kBufferSize) return write_all(fd_, data.data(), data.size());
    }
    std::memcpy(buf_.get() + used_, data.data(), data.size());
    used_ += data.size();
    return {};
  }

  Status flush() {
    size_t n = used_;
    used_ = 0;
    return write_all(fd_, buf_.get(), n);
  }

 private:
  int fd_;
  std::unique_ptr<char[]> buf_;
  size_t used_ = 0;
};

bool is_blank(std::string_view line) {
  for (char c : line) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 0x80) return trim_unicode_space(line).empty();
    if (u != ' ' && (u < 0x09 || u > 0x0D)) return false;
  }
  return true;
}

Status run(int in_fd, int out_fd, bool is_edges, std::string_view domain) {
  LineReader lines(in_fd);
  BufferedWriter writer(out_fd);
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
      std::string_view text = **line;
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
  Fd in(::open(input.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return fail_io(errno);

  // Truncating the output would destroy the input before it is read.
  struct stat in_st, out_st;
  if (::fstat(in.get(), &in_st) == 0 && ::stat(output.c_str(), &out_st) == 0 && in_st.st_dev == out_st.st_dev &&
      in_st.st_ino == out_st.st_ino) {
    return fail_runtime("input and output are the same file");
  }

  Fd out(::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (out.get() < 0) return fail_io(errno);
  return run(in.get(), out.get(), is_edges, domain);
}

}  // namespace corv::records
