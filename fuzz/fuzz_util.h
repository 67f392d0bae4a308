// Helpers shared by the fuzz targets.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace corv::fuzz {

// A broken invariant is a finding: abort so libFuzzer saves the input.
#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

inline bool ends_with_position(std::string_view message) {
  // "... at line N column M"
  size_t at = message.rfind(" at line ");
  if (at == std::string_view::npos) return false;
  return message.find(" column ", at) != std::string_view::npos;
}

// One scratch file per process and name, rewritten for every input and
// removed at exit. Readers under test take paths, not buffers.
class ScratchFile {
 public:
  explicit ScratchFile(std::string_view name) {
    const char* tmp = std::getenv("TMPDIR");
    std::filesystem::path dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    path_ = dir / ("corv-fuzz-" + std::to_string(::getpid()) + "-" + std::string(name));
  }
  ~ScratchFile() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const std::filesystem::path& write(std::string_view bytes) {
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    while (!bytes.empty()) {
      ssize_t n = ::write(fd, bytes.data(), bytes.size());
      FUZZ_CHECK(n > 0);
      bytes.remove_prefix(static_cast<size_t>(n));
    }
    ::close(fd);
    return path_;
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace corv::fuzz
