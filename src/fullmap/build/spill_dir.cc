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
  return run && term_run_name(*shard, *run) == name;
}

bool is_curie_run_name(std::string_view name) {
  std::string_view rest = name;
  if (!take(rest, "curie_run_")) return false;
  const auto run = take_number(rest);
  return run && curie_run_name(*run) == name;
}

bool is_equiv_run_name(std::string_view name) {
  std::string_view rest = name;
  if (!take(rest, "run_")) return false;
  const auto run = take_number(rest);
  return run && equiv_run_name(*run) == name;
}

Result<bool> holds_only_equiv_runs(const HeldDirectory& dir) {
  auto names = dir.names();
  if (!names) return std::unexpected(std::move(names.error()));
  for (const auto& name : *names) {
    auto found = dir.entry(name);
    if (!found) return std::unexpected(std::move(found.error()));
    if (!*found || !(*found)->is_regular() || !is_equiv_run_name(name)) return false;
  }
  return true;
}

enum class Found { kEmpty, kSpill, kForeign };

// A symbolic link is never taken for what it names.
Result<Found> inspect(const HeldDirectory& dir) {
  auto names = dir.names();
  if (!names) return std::unexpected(std::move(names.error()));
  bool spill_names_only = true;
  for (const auto& name : *names) {
    auto found = dir.entry(name);
    if (!found) return std::unexpected(std::move(found.error()));
    if (!*found) continue;  // gone meanwhile
    const EntryInfo& entry = **found;
    if (entry.is_regular() && name == kSpillMarkerName) return Found::kSpill;
    if (!spill_names_only) continue;  // the marker may still come
    if (entry.is_regular()) {
      spill_names_only = is_term_run_name(name) || is_curie_run_name(name) || name == kEquivDataFileName;
    } else if (entry.is_directory() && name == kEquivRunDirName) {
      auto sub = dir.open_directory(name);
      if (!sub) return std::unexpected(std::move(sub.error()));
      auto only = holds_only_equiv_runs(*sub);
      if (!only) return std::unexpected(std::move(only.error()));
      spill_names_only = *only;
    } else {
      spill_names_only = false;
    }
  }
  if (names->empty()) return Found::kEmpty;
  return spill_names_only ? Found::kSpill : Found::kForeign;
}

Status write_marker(const HeldDirectory& dir) {
  auto out = dir.create_file(kSpillMarkerName);
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

std::unexpected<Error> another_users(const fs::path& dir, uid_t owner) {
  return fail_runtime("spill directory " + dir.string() + " belongs to another user (uid " + std::to_string(owner) +
                      "); remove it or set CORVANTILE_FULLMAP_SPILL_DIR to a directory of your own");
}

// Rounds lost to a build that removes the directory just as this one
// opens it; each round the directory is looked at afresh.
constexpr int kLockAttempts = 4;

// The failure of a call on a directory that was removed meanwhile.
bool is_gone(const Error& e) { return e.os_error == ENOENT; }

// The directory to hold `dir` in and its name there; no name when it has
// none to be removed by ("/", ".", "..").
std::pair<fs::path, std::string> split_name(const fs::path& dir) {
  fs::path d = dir;
  while (d.has_relative_path() && d.filename().empty()) d = d.parent_path();  // trailing separators
  std::string name = d.filename().native();
  if (name.empty() || name == "." || name == "..") return {d, std::string()};
  return {d.parent_path(), std::move(name)};
}

}  // namespace

Status SpillDirClaim::open_levels(const fs::path& spill_dir, std::vector<Level>& levels) {
  const auto [parent, name] = split_name(spill_dir);
  if (name.empty()) {
    auto held = HeldDirectory::open(parent);
    if (!held) return fail(std::move(held.error()));
    levels.push_back({std::move(*held), std::string(), false});
    return {};
  }
  // The nearest ancestor that exists, and the names below it that do not.
  std::vector<std::string> below{name};
  fs::path base = parent;
  for (;;) {
    struct stat st;
    if (::stat(base.empty() ? "." : base.c_str(), &st) == 0) break;
    if (errno != ENOENT) return fail_io(errno);
    const fs::path up = base.parent_path();
    if (base.empty() || up == base) return fail_io(ENOENT);
    if (std::string leaf = base.filename().native(); !leaf.empty()) below.push_back(std::move(leaf));
    base = up;
  }
  auto held = HeldDirectory::open(base.empty() ? fs::path(".") : base);
  if (!held) return fail(std::move(held.error()));
  levels.push_back({std::move(*held), std::string(), false});
  for (auto it = below.rbegin(); it != below.rend(); ++it) {
    const bool spill = it + 1 == below.rend();
    const HeldDirectory& at = levels.back().dir;
    auto found = at.entry(*it);
    if (!found) return fail(std::move(found.error()));
    bool made = false;
    if (!*found) {
      // Private: the runs are the build's own until they are in the database.
      auto created = at.make_directory(*it, spill ? 0700 : 0777);
      if (!created) return fail(std::move(created.error()));
      made = *created;
    } else if ((*found)->is_symlink() && spill) {
      // Followed once, as the caller named it, and held from then on; a
      // directory reached so is never removed.
      auto target = HeldDirectory::open(spill_dir);
      if (!target && is_gone(target.error())) {
        return fail_runtime("spill directory " + spill_dir.string() + " is a symbolic link to nothing");
      }
      if (!target) return fail(std::move(target.error()));
      levels.push_back({std::move(*target), std::string(), false});
      return {};
    } else if (!(*found)->is_directory() && !(*found)->is_symlink()) {
      return fail_io(ENOTDIR);
    }
    auto opened = at.open_directory(*it);
    if (!opened) return fail(std::move(opened.error()));
    levels.push_back({std::move(*opened), *it, made});
  }
  return {};
}

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
  for (int attempt = 0;; ++attempt) {
    const bool last_attempt = attempt + 1 == kLockAttempts;
    SpillDirClaim claim;
    claim.path_ = spill_dir;
    // An ancestor that another build's claim made and just took away, or a
    // directory that a finished build removed.
    if (auto opened = open_levels(spill_dir, claim.levels_); !opened) {
      if (is_gone(opened.error()) && !last_attempt) continue;
      return std::unexpected(std::move(opened.error()));
    }
    const HeldDirectory& dir = claim.dir();
    auto info = dir.info();
    if (!info) return std::unexpected(std::move(info.error()));
    // Whoever owns it may read and replace the runs, and so forge the
    // database: refused before anything is deleted.
    if (info->uid != ::geteuid()) return another_users(spill_dir, info->uid);
    // On a description of its own, so that no other descriptor of the claim
    // (which forked children keep) holds the lock.
    auto fd = dir.own_description();
    if (!fd) return std::unexpected(std::move(fd.error()));
    auto locked = try_lock(fd->get(), LockMode::kExclusive);
    if (!locked) return std::unexpected(std::move(locked.error()));
    if (!*locked) return in_use(spill_dir);
    // A build that finished removes its directory before it unlocks; the
    // lock then holds a directory that is no longer the one named.
    const Level& held = claim.levels_.back();
    const bool current = held.name.empty() ? names_file(spill_dir, fd->get())
                                           : claim.levels_[claim.levels_.size() - 2].dir.entry_is(held.name, dir.fd());
    if (!current) {
      unlock(fd->get());
      if (last_attempt) return in_use(spill_dir);
      continue;
    }
    claim.lock_ = ForkClosedDescriptor(std::move(*fd));
    auto found = inspect(dir);
    if (!found) return std::unexpected(std::move(found.error()));
    if (*found == Found::kForeign) return foreign(spill_dir);
    // Scratch space of the builder's own that others may read or write:
    // the build empties and removes it anyway.
    if ((info->mode & 077) != 0 && ::fchmod(dir.fd(), 0700) != 0) return fail_io(errno);
    return claim;
  }
}

SpillDirClaim& SpillDirClaim::operator=(SpillDirClaim&& other) noexcept {
  if (this != &other) {
    release();
    path_ = std::move(other.path_);
    levels_ = std::move(other.levels_);
    lock_ = std::move(other.lock_);
  }
  return *this;
}

void SpillDirClaim::remove_levels(bool spill_too) const noexcept {
  for (size_t i = levels_.size(); i-- > 1;) {
    const Level& level = levels_[i];
    if (level.name.empty() || !(level.made || (spill_too && i + 1 == levels_.size()))) return;
    const HeldDirectory& parent = levels_[i - 1].dir;
    if (!parent.entry_is(level.name, level.dir.fd()) || !parent.remove_directory(level.name)) return;
  }
}

void SpillDirClaim::release() noexcept {
  // Only under the lock: a directory made here but locked by another build
  // first is that build's. Only empty: a build that ran marked it, and a
  // failed build leaves it.
  if (lock_.valid() && !levels_.empty()) remove_levels(false);
  levels_.clear();
  if (!lock_.valid()) return;
  unlock(lock_.get());
  lock_.reset();
}

Status SpillDirClaim::prepare() const {
  auto found = inspect(dir());
  if (!found) return std::unexpected(std::move(found.error()));
  if (*found == Found::kForeign) return foreign(path_);
  if (*found == Found::kSpill) CORV_TRY(dir().clear());
  return write_marker(dir());
}

void SpillDirClaim::remove() const noexcept {
  if (levels_.empty() || !dir().clear()) return;
  remove_levels(true);
}

}  // namespace corv::fullmap
