#include "fullmap/build/output_lock.h"

#include <xxhash.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "fullmap/build/lock_file.h"
#include "fullmap/store/layout.h"

namespace corv::fullmap {
namespace {

// A file name's byte in the lock file: 62 bits of its hash, so distinct
// names practically never share one, and every offset is a valid off_t.
uint64_t lock_offset(const std::filesystem::path& file) {
  const std::string name = file.filename().native();
  return XXH64(name.data(), name.size(), 0) >> 2;
}

constexpr int kOpenAttempts = 4;

// The output's directory and its lock file, opened through it. The lock
// file seen there once it is open proves that nobody removed it in between.
Result<std::pair<HeldDirectory, FileDescriptor>> open_held(const std::filesystem::path& dir_path) {
  for (int attempt = 1;; ++attempt) {
    auto dir = HeldDirectory::open(dir_path);
    if (!dir) return fail(std::move(dir.error()));
    auto file = open_lock_file(*dir, kBuildLockFileName);
    if (!file) return fail(std::move(file.error()));
    if (dir->entry_is(kBuildLockFileName, file->get())) return std::pair(std::move(*dir), std::move(*file));
    if (attempt == kOpenAttempts) {
      return fail_runtime("the fullmap output's directory " + dir_path.string() +
                          " was replaced each time the build opened it");
    }
  }
}

}  // namespace

OutputLock& OutputLock::operator=(OutputLock&& other) noexcept {
  if (this != &other) {
    release();
    dir_ = std::move(other.dir_);
    file_ = std::move(other.file_);
  }
  return *this;
}

void OutputLock::release() noexcept {
  if (!file_.valid()) return;
  unlock_bytes(file_.get());
  file_.reset();
}

Result<OutputLock> OutputLock::acquire(const std::filesystem::path& output) {
  const std::filesystem::path dir = output.parent_path();
  auto held = open_held(dir.empty() ? std::filesystem::path(".") : dir);
  if (!held) return fail(std::move(held.error()));
  OutputLock lock(std::move(held->first), std::move(held->second));

  std::array<uint64_t, kBuildShardCount + 1> offsets;
  offsets[0] = lock_offset(output);
  for (uint64_t i = 0; i < kBuildShardCount; ++i) offsets[i + 1] = lock_offset(shard_path(output, i));
  // Taken in one order, so two builds racing for the same names meet at the
  // first name they share.
  std::sort(offsets.begin(), offsets.end());
  for (const uint64_t offset : offsets) {
    auto locked = try_lock_byte(lock.file_.get(), offset);
    if (!locked) return fail(std::move(locked.error()));
    if (!*locked) return fail_runtime("another build is writing the fullmap " + output.string());
  }
  return lock;
}

}  // namespace corv::fullmap
