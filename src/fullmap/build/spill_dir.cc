#include "fullmap/build/spill_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "common/fd_io.h"
#include "fullmap/build/curie_run.h"
#include "fullmap/build/equiv_index.h"
#include "fullmap/build/equiv_run.h"
#include "fullmap/build/term_run.h"

namespace corv::fullmap {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kMarkerText =
    "scratch space of a fullmap build; the next build that uses this directory empties it\n";

bool take(std::string_view& s, std::string_view prefix) {
  if (!s.starts_with(prefix)) return false;
  s.remove_prefix(prefix.size());
  return true;
}

std::optional<uint64_t> take_number(std::string_view& s) {
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc()) return std::nullopt;
  s.remove_prefix(static_cast<size_t>(end - s.data()));
  return value;
}

// Each name is rebuilt by its writer's own path function, so only the exact
// spelling a build produces counts (no stray zeros, signs or suffixes).
bool is_term_run_name(std::string_view name) {
  std::string_view rest = name;
  if (!take(rest, "run_s")) return false;
  const auto shard = take_number(rest);
  if (!shard || !take(rest, "_")) return false;
  const auto run = take_number(rest);
  return run && term_run_path({}, *shard, *run).native() == name;
}

bool is_curie_run_name(std::string_view name) {
  std::string_view rest = name;
  if (!take(rest, "curie_run_")) return false;
  const auto run = take_number(rest);
  return run && curie_run_path({}, *run).native() == name;
}

bool is_equiv_run_name(std::string_view name) {
  std::string_view rest = name;
  if (!take(rest, "run_")) return false;
  const auto run = take_number(rest);
  return run && equiv_run_path({}, *run).native() == name;
}

// A symbolic link is never taken for what it names.
Result<fs::file_type> entry_type(const fs::directory_entry& entry) {
  std::error_code ec;
  const fs::file_type type = entry.symlink_status(ec).type();
  if (ec) return fail_io(ec.value());
  return type;
}

Result<bool> holds_only_equiv_runs(const fs::path& dir) {
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    auto type = entry_type(*it);
    if (!type) return std::unexpected(std::move(type.error()));
    if (*type != fs::file_type::regular || !is_equiv_run_name(it->path().filename().native())) return false;
  }
  if (ec) return fail_io(ec.value());
  return true;
}

enum class Found { kEmpty, kSpill, kForeign };

// Takes away the directories in `made`, innermost first, while they are
// empty: what a claim made and no build used.
void remove_unused(const std::vector<fs::path>& made) {
  for (auto it = made.rbegin(); it != made.rend(); ++it) {
    if (::rmdir(it->c_str()) != 0) return;
  }
}

Result<Found> inspect(const fs::path& dir) {
  bool empty = true;
  bool spill_names_only = true;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    empty = false;
    const std::string name = it->path().filename().native();
    auto type = entry_type(*it);
    if (!type) return std::unexpected(std::move(type.error()));
    if (*type == fs::file_type::regular && name == kSpillMarkerName) return Found::kSpill;
    if (!spill_names_only) continue;  // the marker may still come
    if (*type == fs::file_type::regular) {
      spill_names_only = is_term_run_name(name) || is_curie_run_name(name) || name == kEquivDataFileName;
    } else if (*type == fs::file_type::directory && name == kEquivRunDirName) {
      auto only = holds_only_equiv_runs(it->path());
      if (!only) return std::unexpected(std::move(only.error()));
      spill_names_only = *only;
    } else {
      spill_names_only = false;
    }
  }
  if (ec) return fail_io(ec.value());
  if (empty) return Found::kEmpty;
  return spill_names_only ? Found::kSpill : Found::kForeign;
}

// Removes the entries of `dir` but not `dir`, which may be a link or a
// mount point that is not the build's to remove.
Status clear_directory(const fs::path& dir) {
  std::vector<fs::path> entries;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(it->path());
  if (ec) return fail_io(ec.value());
  for (const auto& entry : entries) {
    fs::remove_all(entry, ec);
    if (ec) return fail_io(ec.value());
  }
  return {};
}

Status write_marker(const fs::path& dir) {
  auto out = create_for_writing(dir / kSpillMarkerName);
  if (!out) return fail(std::move(out.error()));
  return write_all(out->get(), kMarkerText.data(), kMarkerText.size());
}

bool lies_within(const fs::path& dir, const fs::path& path) {
  std::error_code ec;
  const auto base = fs::weakly_canonical(fs::absolute(dir, ec), ec);
  if (ec) return false;
  const auto full = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (ec) return false;
  auto b = base.begin();
  auto f = full.begin();
  for (; b != base.end(); ++b, ++f) {
    if (b->empty()) continue;  // trailing separator
    if (f == full.end() || *b != *f) return false;
  }
  return true;
}

std::unexpected<Error> in_use(const fs::path& dir) {
  return fail_runtime("spill directory " + dir.string() + " is in use by another build");
}

std::unexpected<Error> foreign(const fs::path& dir) {
  return fail_runtime("spill directory " + dir.string() +
                      " holds files that no fullmap build wrote; set CORVANTILE_FULLMAP_SPILL_DIR to an "
                      "empty or new directory");
}

// Rounds lost to a build that removes the directory just as this one
// opens it; each round the directory is looked at afresh.
constexpr int kLockAttempts = 4;

// Makes `dir` and whichever of its ancestors are missing, as
// create_directories does, adding those it made to `made`, outermost first.
// Returns 0 or the errno of the failure.
int make_directories(const fs::path& dir, std::vector<fs::path>& made) {
  std::vector<fs::path> missing;
  for (fs::path p = dir; !p.empty(); p = p.parent_path()) {
    struct stat st;
    if (::lstat(p.c_str(), &st) == 0) break;
    if (errno != ENOENT) return errno;
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0777) == 0) {
      made.push_back(*it);
      continue;
    }
    if (errno != EEXIST) return errno;
    std::error_code ec;
    if (!fs::is_directory(*it, ec)) return ENOTDIR;  // made meanwhile, by somebody else
  }
  return 0;
}

Result<FileDescriptor> lock_directory(const fs::path& dir, std::vector<fs::path>& made) {
  for (int attempt = 0;; ++attempt) {
    auto existing = find_file(dir);
    if (!existing) return fail(std::move(existing.error()));
    if (!*existing) {
      std::error_code ec;
      if (fs::is_symlink(fs::symlink_status(dir, ec))) {
        return fail_runtime("spill directory " + dir.string() + " is a symbolic link to nothing");
      }
      const int err = make_directories(dir, made);
      // An ancestor that another build's claim made and just took away.
      if (err == ENOENT && attempt + 1 < kLockAttempts) continue;
      if (err != 0) return fail_io(err);
    } else if (!(*existing)->is_directory) {
      return fail_io(ENOTDIR);
    }
    auto fd = open_for_reading(dir);
    if (!fd) {
      auto again = find_file(dir);
      if (again && !*again && attempt + 1 < kLockAttempts) continue;  // removed meanwhile
      return fail(std::move(fd.error()));
    }
    auto locked = try_lock(fd->get(), LockMode::kExclusive);
    if (!locked) return fail(std::move(locked.error()));
    if (!*locked) return in_use(dir);
    // A build that finished removes its directory before it unlocks; the
    // lock then holds a directory that is no longer the one at `dir`.
    if (names_file(dir, fd->get())) return std::move(*fd);
    if (attempt + 1 == kLockAttempts) return in_use(dir);
  }
}

}  // namespace

Result<SpillDirClaim> SpillDirClaim::acquire(const fs::path& spill_dir, std::span<const fs::path> database_files,
                                             std::span<const fs::path> classes, std::span<const fs::path> synonyms) {
  bool clash = false;
  for (const auto& p : database_files) clash = clash || lies_within(spill_dir, p);
  for (const auto& p : classes) clash = clash || lies_within(spill_dir, p);
  for (const auto& p : synonyms) clash = clash || lies_within(spill_dir, p);
  if (clash) {
    return fail_runtime("spill directory " + spill_dir.string() +
                        " holds the output or an input file; set CORVANTILE_FULLMAP_SPILL_DIR elsewhere");
  }
  std::vector<fs::path> made;
  auto fd = lock_directory(spill_dir, made);
  if (!fd) return std::unexpected(std::move(fd.error()));
  SpillDirClaim claim(spill_dir, std::move(*fd), std::move(made));
  auto found = inspect(spill_dir);
  if (!found) return std::unexpected(std::move(found.error()));
  if (*found == Found::kForeign) return foreign(spill_dir);
  return claim;
}

SpillDirClaim& SpillDirClaim::operator=(SpillDirClaim&& other) noexcept {
  if (this != &other) {
    release();
    dir_ = std::move(other.dir_);
    fd_ = std::move(other.fd_);
    made_ = std::move(other.made_);
  }
  return *this;
}

void SpillDirClaim::release() noexcept {
  if (!fd_.valid()) return;
  // Only while `dir_` is still ours: once a successful build removed it,
  // another build may hold a new one there. Only empty: a build that ran
  // marked it, and a failed build leaves it.
  if (!made_.empty() && names_file(dir_, fd_.get())) remove_unused(made_);
  made_.clear();
  unlock(fd_.get());
  fd_.reset();
}

Status SpillDirClaim::prepare() const {
  auto found = inspect(dir_);
  if (!found) return std::unexpected(std::move(found.error()));
  if (*found == Found::kForeign) return foreign(dir_);
  if (*found == Found::kSpill) CORV_TRY(clear_directory(dir_));
  return write_marker(dir_);
}

void release_spill_dir(const fs::path& spill_dir) {
  if (clear_directory(spill_dir)) ::rmdir(spill_dir.c_str());
}

}  // namespace corv::fullmap
