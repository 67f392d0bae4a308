// Helpers shared by the ingest tests: input files and a progress sink that
// records every report.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

#include "common/held_directory.h"
#include "fullmap/build/progress.h"
#include "scratch_dir.h"

namespace corv::fullmap::testing {

inline std::filesystem::path write_file(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return path;
}

// The existing directory `dir`, held as the build holds its spill directory.
inline HeldDirectory hold(const std::filesystem::path& dir) { return HeldDirectory::open(dir).value(); }

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

inline std::string gzip(std::string_view data) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct ProgressCall {
  int32_t stage;
  uint64_t done;
  uint64_t total;
  std::string message;
  bool operator==(const ProgressCall&) const = default;
};

inline void PrintTo(const ProgressCall& c, std::ostream* os) {
  *os << "(" << c.stage << ", " << c.done << ", " << c.total << ", \"" << c.message << "\")";
}

class RecordingProgress : public Progress {
 public:
  void call(ProgressStage stage, uint64_t done, uint64_t total, std::string_view message) noexcept override {
    std::lock_guard lock(mutex_);
    calls_.push_back({static_cast<int32_t>(stage), done, total, std::string(message)});
  }
  std::vector<ProgressCall> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<ProgressCall> calls_;
};

}  // namespace corv::fullmap::testing
