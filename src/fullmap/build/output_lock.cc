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

}  // namespace

OutputLock& OutputLock::operator=(OutputLock&& other) noexcept {
  if (this != &other) {
    release();
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
  auto file = open_lock_file(dir.empty() ? std::filesystem::path(".") : dir, kBuildLockFileName);
  if (!file) return fail(std::move(file.error()));
  OutputLock lock(std::move(*file));

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
