#include "fullmap/build/spill_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "common/fd_io.h"
#include "common/path_components.h"
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

// Whether the builder owns everything below `dir`, at every depth.
Result<bool> all_own(const HeldDirectory& dir) {
  auto names = dir.names();
  if (!names) return std::unexpected(std::move(names.error()));
  for (const auto& name : *names) {
    auto found = dir.entry(name);
    if (!found) return std::unexpected(std::move(found.error()));
    if (!*found) continue;  // gone meanwhile
    if ((*found)->uid != ::geteuid()) return false;
    if (!(*found)->is_directory()) continue;
    auto sub = dir.open_directory(name);
    if (!sub && sub.error().os_error == ENOENT) continue;  // gone meanwhile
    if (!sub) return std::unexpected(std::move(sub.error()));
    auto own = all_own(*sub);
    if (!own || !*own) return own;
  }
  return true;
}

// Only a build makes it, 0600 and of the builder's own; a reader's lock on
// a lock file anyone else may open would keep builds out.
bool is_lock_file(const std::string& name, const EntryInfo& entry) {
  return name == kSpillLockName && entry.is_regular() && entry.uid == ::geteuid() && (entry.mode & 077) == 0;
}

enum class Found { kEmpty, kSpill, kForeign };

// A symbolic link is never taken for what it names. Anything another user
// owns, at any depth, makes the directory foreign: the build would delete
// it.
Result<Found> inspect(const HeldDirectory& dir) {
  auto own = all_own(dir);
  if (!own) return std::unexpected(std::move(own.error()));
  if (!*own) return Found::kForeign;
  auto names = dir.names();
  if (!names) return std::unexpected(std::move(names.error()));
  bool marked = false;
  bool spill_names_only = true;
  for (const auto& name : *names) {
    auto found = dir.entry(name);
    if (!found) return std::unexpected(std::move(found.error()));
    if (!*found) continue;  // gone meanwhile
    const EntryInfo& entry = **found;
    if (entry.is_regular() && name == kSpillMarkerName) marked = true;
    if (!spill_names_only || is_lock_file(name, entry)) continue;
    if (entry.is_regular()) {
      spill_names_only =
          is_term_run_name(name) || is_curie_run_name(name) || name == kEquivDataFileName || name == kSpillMarkerName;
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
  if (marked) return Found::kSpill;
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

std::unexpected<Error> another_users_link(const fs::path& dir, const fs::path& link, bool is_dir, uid_t owner) {
  const std::string how = is_dir ? " is a symbolic link" : " is reached through " + link.string() + ", a symbolic link";
  return fail_runtime("spill directory " + dir.string() + how + " that belongs to another user (uid " +
                      std::to_string(owner) +
                      "); remove it or set CORVANTILE_FULLMAP_SPILL_DIR to a directory of your own");
}

// Rounds lost to a build that removes the directory just as this one
// opens it; each round the directory is looked at afresh.
constexpr int kLockAttempts = 4;

// The failure of a call on a directory that was removed meanwhile.
bool is_gone(const Error& e) { return e.os_error == ENOENT; }

// Links followed on the way to the spill directory before the walk fails
// with ELOOP, as the kernel counts them.
constexpr int kMaxLinks = 40;

// The components of `path` to walk, "." ones left out.
std::deque<std::string> components(std::string_view path) {
  std::deque<std::string> out;
  for_each_path_component(path, [&](std::string_view part) {
    if (part != ".") out.emplace_back(part);
  });
  return out;
}

// Whether the last component of `path` is "." ("sp/.", "sp/./").
bool ends_in_dot(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path == "." || path.ends_with("/.");
}

// The kernel's rule for links in sticky directories, in every directory and
// without its exception for the directory's owner (who may be anyone with
// write access to a group directory): the builder's own links, and root's
// where only root may have put them.
bool may_follow(const HeldDirectory& at, const EntryInfo& link) {
  if (link.uid == ::geteuid()) return true;
  if (link.uid != 0) return false;
  auto in = at.info();
  return in && in->uid == 0 && (in->mode & 022) == 0;
}

struct LockFile {
  FileDescriptor fd;
  bool made = false;  // here, and so to be taken away again when refused
};

// The lock file, made here when missing; refused when anyone else owns it
// or may open it.
Result<LockFile> open_lock_file(const HeldDirectory& dir, const fs::path& shown) {
  for (int round = 0; round < kLockAttempts; ++round) {
    auto found = dir.entry(kSpillLockName);
    if (!found) return fail(std::move(found.error()));
    if (!*found) {
      auto made = dir.create_new(kSpillLockName, 0600);
      if (!made) return fail(std::move(made.error()));
      if (*made) return LockFile{std::move(**made), true};
      continue;  // made meanwhile
    }
    if (!is_lock_file(kSpillLockName, **found)) return foreign(shown);
    auto fd = dir.open_for_update(kSpillLockName);
    if (!fd && is_gone(fd.error())) continue;
    if (!fd) return fail(std::move(fd.error()));
    if (dir.entry_is(kSpillLockName, fd->get())) return LockFile{std::move(*fd), false};
  }
  return in_use(shown);
}

}  // namespace

void SpillDirClaim::push_level(Level level) {
  // A directory the claim did not make stops the removal of those above
  // it, and needs its parent only when it is the spill directory.
  if (!level.made && levels_.size() > 1) levels_.erase(levels_.begin(), levels_.end() - 1);
  levels_.push_back(std::move(level));
}

Status SpillDirClaim::open_levels(const fs::path& spill_dir) {
  const std::string_view text = spill_dir.native();
  std::deque<std::string> todo = components(text);
  size_t own = todo.size();  // the last `own` of `todo` are the caller's; the rest come from links
  const bool absolute = text.starts_with('/');
  auto base = HeldDirectory::open(absolute ? "/" : ".");
  if (!base) return fail(std::move(base.error()));
  push_level({std::move(*base), std::string(), false});
  fs::path shown = absolute ? fs::path("/") : fs::path();
  bool final_link = false;  // the caller's last component was a link
  int links = 0;
  named_ = false;
  while (!todo.empty()) {
    const std::string name = std::move(todo.front());
    todo.pop_front();
    const bool callers = todo.size() < own;
    if (callers) own = todo.size();
    const bool last = todo.empty();
    const HeldDirectory& at = levels_.back().dir;
    if (name == "..") {
      auto up = at.open_directory(name);
      if (!up) return fail(std::move(up.error()));
      push_level({std::move(*up), name, false});
      shown /= name;
      named_ = false;
      continue;
    }
    auto found = at.entry(name);
    if (!found) return fail(std::move(found.error()));
    bool made = false;
    if (!*found) {
      // Only the caller's own path is made, never one a link names.
      if (!callers && final_link && own == 0) {
        return fail_runtime("spill directory " + spill_dir.string() + " is a symbolic link to nothing");
      }
      if (!callers) return fail_io(ENOENT);
      // Private: the runs are the build's own until they are in the database.
      auto created = at.make_directory(name, last ? 0700 : 0777);
      if (!created) return fail(std::move(created.error()));
      made = *created;  // else made meanwhile: opened below, never through a link
    } else if ((*found)->is_symlink()) {
      if (!may_follow(at, **found)) {
        return another_users_link(spill_dir, shown / name, callers && last, (*found)->uid);
      }
      if (++links > kMaxLinks) return fail_io(ELOOP);
      auto target = at.read_link(name);
      if (!target) return fail(std::move(target.error()));
      if (target->empty()) return fail_io(ENOENT);
      auto parts = components(*target);
      todo.insert(todo.begin(), parts.begin(), parts.end());
      if (target->starts_with('/')) {
        auto root = HeldDirectory::open("/");
        if (!root) return fail(std::move(root.error()));
        push_level({std::move(*root), std::string(), false});
        shown = "/";
      }
      final_link = final_link || (callers && last);
      named_ = false;
      continue;
    } else if (!(*found)->is_directory()) {
      return fail_io(ENOTDIR);
    }
    auto opened = at.open_directory(name);
    if (!opened) return fail(std::move(opened.error()));
    push_level({std::move(*opened), name, made});
    shown /= name;
    named_ = callers;
  }
  if (ends_in_dot(text)) named_ = false;
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
    if (auto opened = claim.open_levels(spill_dir); !opened) {
      if (is_gone(opened.error()) && !last_attempt) continue;
      return std::unexpected(std::move(opened.error()));
    }
    const HeldDirectory& dir = claim.dir();
    auto info = dir.info();
    if (!info) return std::unexpected(std::move(info.error()));
    // Whoever owns it may read and replace the runs, and so forge the
    // database: refused before anything is deleted.
    if (info->uid != ::geteuid()) return another_users(spill_dir, info->uid);
    // Anything another user owns is refused before the lock file is made.
    auto own = all_own(dir);
    if (!own && is_gone(own.error()) && !last_attempt) continue;
    if (!own) return std::unexpected(std::move(own.error()));
    if (!*own) return foreign(spill_dir);
    auto lock = open_lock_file(dir, spill_dir);
    if (!lock && is_gone(lock.error()) && !last_attempt) continue;
    if (!lock) return std::unexpected(std::move(lock.error()));
    const int fd = lock->fd.get();
    auto locked = try_lock_file(fd, LockMode::kExclusive);
    if (!locked) return std::unexpected(std::move(locked.error()));
    if (!*locked) return in_use(spill_dir);
    // A build that finished removes its lock file, then its directory,
    // before it unlocks; the lock then holds a file or a directory that is
    // no longer the one named.
    const Level& held = claim.levels_.back();
    const bool current =
        dir.entry_is(kSpillLockName, fd) &&
        (held.name.empty() ? names_file(spill_dir, dir.fd())
                           : claim.levels_[claim.levels_.size() - 2].dir.entry_is(held.name, dir.fd()));
    if (!current) {
      unlock_bytes(fd);
      if (last_attempt) return in_use(spill_dir);
      continue;
    }
    // Under the lock, where no other build changes what is there; a
    // refused directory loses the lock file it got, and is as it was.
    auto found = inspect(dir);
    if (!found || *found == Found::kForeign) {
      if (lock->made && dir.entry_is(kSpillLockName, fd)) (void)dir.remove_file(kSpillLockName);
      unlock_bytes(fd);
      if (!found) return std::unexpected(std::move(found.error()));
      return foreign(spill_dir);
    }
    claim.lock_ = ForkClosedDescriptor(std::move(lock->fd));
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
    named_ = other.named_;
    lock_ = std::move(other.lock_);
  }
  return *this;
}

void SpillDirClaim::remove_levels(bool spill_too) const noexcept {
  for (size_t i = levels_.size(); i-- > 1;) {
    const Level& level = levels_[i];
    const bool spill = i + 1 == levels_.size();
    if (level.name.empty() || !(level.made || (spill_too && spill && named_))) return;
    const HeldDirectory& parent = levels_[i - 1].dir;
    if (!parent.entry_is(level.name, level.dir.fd()) || !parent.remove_directory(level.name)) return;
  }
}

void SpillDirClaim::remove_lock_file() const noexcept {
  if (dir().entry_is(kSpillLockName, lock_.get())) (void)dir().remove_file(kSpillLockName);
}

void SpillDirClaim::release() noexcept {
  // Only under the lock: a directory made here but locked by another build
  // first is that build's. Only empty: a build that ran marked it, and a
  // failed build leaves it. The lock file goes last, still locked: a build
  // that comes meanwhile finds it locked, or makes its own in a directory
  // that then stays.
  if (lock_.valid() && !levels_.empty()) {
    remove_lock_file();
    remove_levels(false);
  }
  levels_.clear();
  if (!lock_.valid()) return;
  unlock_bytes(lock_.get());
  lock_.reset();
}

namespace {

// Removes everything in `dir` but `keep`, refusing at anything another user
// owns (none was there at the last look).
Status empty_own(const HeldDirectory& dir, const fs::path& shown, std::string_view keep) {
  auto names = dir.names();
  if (!names) return fail(std::move(names.error()));
  for (const auto& name : *names) {
    if (name == keep) continue;
    auto found = dir.entry(name);
    if (!found) return fail(std::move(found.error()));
    if (!*found) continue;
    if ((*found)->uid != ::geteuid()) return foreign(shown);
    if (!(*found)->is_directory()) {
      CORV_TRY(dir.remove_file(name));
      continue;
    }
    auto sub = dir.open_directory(name);
    if (!sub) return fail(std::move(sub.error()));
    CORV_TRY(empty_own(*sub, shown, {}));
    CORV_TRY(dir.remove_directory(name));
  }
  return {};
}

}  // namespace

Status SpillDirClaim::prepare() const {
  auto found = inspect(dir());
  if (!found) return std::unexpected(std::move(found.error()));
  if (*found == Found::kForeign) return foreign(path_);
  if (*found == Found::kSpill) CORV_TRY(empty_own(dir(), path_, kSpillLockName));
  return write_marker(dir());
}

void SpillDirClaim::remove() const noexcept {
  if (levels_.empty() || !empty_own(dir(), path_, kSpillLockName)) return;
  remove_lock_file();
  remove_levels(true);
}

}  // namespace corv::fullmap
