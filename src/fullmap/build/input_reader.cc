#include "fullmap/build/input_reader.h"

#include <algorithm>
#include <climits>
#include <optional>
#include <string>
#include <utility>

#include <zlib.h>

namespace corv::fullmap {
namespace {

constexpr size_t kGzipInputBytes = 32768;

// Decodes exactly one gzip member. Bytes after it (further members or
// trailing garbage) are never looked at. A stream that stops before its
// member is complete is an error, not a short file.
class GzipReader final : public ByteReader {
 public:
  explicit GzipReader(std::unique_ptr<ByteReader> file)
      : file_(std::move(file)), input_(new unsigned char[kGzipInputBytes]) {}
  ~GzipReader() override {
    if (initialised_) inflateEnd(&stream_);
  }
  GzipReader(const GzipReader&) = delete;
  GzipReader& operator=(const GzipReader&) = delete;

  Status init() {
    // 16 + MAX_WBITS: gzip wrapper only; zlib or raw deflate is refused.
    if (inflateInit2(&stream_, 16 + MAX_WBITS) != Z_OK) return fail_runtime("cannot initialise gzip decoder");
    initialised_ = true;
    if (inflateGetHeader(&stream_, &header_) != Z_OK) return fail_runtime("cannot initialise gzip decoder");
    return {};
  }

  Result<size_t> read(char* buf, size_t n) override {
    if (failure_) return fail(*failure_);
    if (finished_ || n == 0) return 0;
    stream_.next_out = reinterpret_cast<Bytef*>(buf);
    stream_.avail_out = static_cast<uInt>(std::min<size_t>(n, UINT_MAX));
    for (;;) {
      if (stream_.avail_in == 0 && !input_ended_) {
        auto got = file_->read(reinterpret_cast<char*>(input_.get()), kGzipInputBytes);
        if (!got) return remember(std::move(got.error()));
        if (*got == 0) {
          input_ended_ = true;
        } else {
          stream_.next_in = input_.get();
          stream_.avail_in = static_cast<uInt>(*got);
        }
      }
      const uInt before = stream_.avail_out;
      const int rc = inflate(&stream_, Z_NO_FLUSH);
      const size_t produced = before - stream_.avail_out;
      if (rc == Z_STREAM_END) {
        finished_ = true;
        return produced;
      }
      if (rc != Z_OK && rc != Z_BUF_ERROR) return remember(decode_error(rc));
      if (produced > 0) return produced;
      if (stream_.avail_in == 0 && input_ended_) {
        return remember(Error::runtime("unexpected end of gzip stream"));
      }
    }
  }

 private:
  Error decode_error(int rc) const {
    if (rc == Z_MEM_ERROR) return Error::runtime("out of memory while decoding gzip stream");
    const std::string detail = stream_.msg ? std::string(" (") + stream_.msg + ")" : std::string();
    if (header_.done != 1) return Error::runtime("invalid gzip header" + detail);
    return Error::runtime("corrupt deflate stream" + detail);
  }

  std::unexpected<Error> remember(Error e) {
    failure_ = e;
    return fail(std::move(e));
  }

  std::unique_ptr<ByteReader> file_;
  std::unique_ptr<unsigned char[]> input_;
  z_stream stream_{};
  gz_header header_{};
  bool initialised_ = false;
  bool input_ended_ = false;
  bool finished_ = false;
  std::optional<Error> failure_;
};

}  // namespace

Result<std::unique_ptr<ByteReader>> open_reader(const std::filesystem::path& path) {
  auto fd = open_for_reading(path);
  if (!fd) return fail(std::move(fd.error()));
  auto file = std::make_unique<FileReader>(std::move(*fd));

  // std::filesystem gives a leading-dot-only name (".gz") no extension.
  if (path.extension() != ".gz") return file;
  auto gzip = std::make_unique<GzipReader>(std::move(file));
  CORV_TRY(gzip->init());
  return gzip;
}

}  // namespace corv::fullmap
