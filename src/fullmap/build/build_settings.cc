#include "fullmap/build/build_settings.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "common/cores.h"
#include "common/env.h"
#include "common/table_room.h"
#include "fullmap/build/run_io.h"

namespace corv::fullmap {
namespace {

constexpr std::string_view kMemAvailable = "MemAvailable:";
constexpr unsigned kKbPerWorkerShift = 21;  // 2 GiB in kB

// The variable's value when it is set and UTF-8.
std::optional<std::string_view> env_text(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  std::string_view text(value);
  if (!is_valid_utf8(text)) return std::nullopt;
  return text;
}

// Length of the White_Space code point starting at `i`, or 0. Input is UTF-8.
int32_t space_at(std::string_view text, int32_t i) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t next = i;
  UChar32 c;
  U8_NEXT(s, next, length, c);
  return c >= 0 && u_isUWhiteSpace(c) ? next - i : 0;
}

// Length of the White_Space code point ending at `end`, or 0.
int32_t space_before(std::string_view text, int32_t end) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  int32_t start = end;
  UChar32 c;
  U8_PREV(s, 0, start, c);
  return c >= 0 && u_isUWhiteSpace(c) ? end - start : 0;
}

std::string_view trim_space(std::string_view text) {
  auto begin = int32_t{0};
  auto end = static_cast<int32_t>(text.size());
  while (begin < end) {
    const int32_t n = space_at(text, begin);
    if (n == 0) break;
    begin += n;
  }
  while (end > begin) {
    const int32_t n = space_before(text, end);
    if (n == 0) break;
    end -= n;
  }
  return text.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin));
}

// The pieces of `text` between runs of White_Space.
std::vector<std::string_view> split_space(std::string_view text) {
  std::vector<std::string_view> pieces;
  const auto length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    while (i < length) {
      const int32_t n = space_at(text, i);
      if (n == 0) break;
      i += n;
    }
    const int32_t start = i;
    while (i < length && space_at(text, i) == 0) {
      const auto* s = reinterpret_cast<const uint8_t*>(text.data());
      UChar32 c;
      U8_NEXT(s, i, length, c);
    }
    if (i > start) pieces.push_back(text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
  }
  return pieces;
}

std::optional<std::string> read_meminfo() {
  std::ifstream in("/proc/meminfo", std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad() || !is_valid_utf8(text)) return std::nullopt;
  return text;
}

}  // namespace

absl::flat_hash_set<std::string> parse_exclude_prefixes(std::optional<std::string_view> value) {
  absl::flat_hash_set<std::string> prefixes;
  if (!value) return prefixes;
  std::string_view rest = *value;
  while (true) {
    const size_t comma = rest.find(',');
    const std::string_view piece = trim_space(rest.substr(0, comma));
    if (!piece.empty()) {
      std::string prefix(piece);
      make_room(prefixes);
      prefixes.insert(std::move(prefix));
    }
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return prefixes;
}

size_t default_producers(size_t synonym_files, size_t threads) {
  return std::min(synonym_files, std::max<size_t>(threads / 4, 4));
}

std::filesystem::path default_spill_dir(const std::filesystem::path& output) {
  return std::filesystem::path(output.native() + std::string(kSpillDirSuffix));
}

size_t read_equiv_spill_entries() { return env_usize(kEquivSpillEntriesEnv, kDefaultEquivSpillEntries); }

BuildSettings read_build_settings(const std::filesystem::path& output, size_t synonym_files, size_t threads) {
  BuildSettings s;
  s.local_spill_entries = env_usize(kLocalSpillEntriesEnv, kDefaultLocalSpillEntries);
  s.curie_spill_entries = env_usize(kCurieSpillEntriesEnv, kDefaultCurieSpillEntries);
  s.exclude_prefixes = parse_exclude_prefixes(env_text(kExcludePrefixesEnv));
  s.chunk_bytes = env_usize(kChunkBytesEnv, kDefaultChunkBytes);
  s.producers = env_usize(kProducersEnv, default_producers(synonym_files, threads));
  s.write_budget_bytes = env_usize(kWriteBudgetBytesEnv, kDefaultWriteBudgetBytes);
  s.insert_batch = env_usize(kInsertBatchEnv, kDefaultInsertBatch);
  // An empty value would scatter the scratch files over the working
  // directory; it counts as unset.
  const auto spill_dir = env_text(kSpillDirEnv);
  s.spill_dir = spill_dir && !spill_dir->empty() ? std::filesystem::path(*spill_dir) : default_spill_dir(output);
  return s;
}

std::optional<uint64_t> mem_available_kb(std::string_view meminfo) {
  std::string_view rest = meminfo;
  while (!rest.empty()) {
    const size_t newline = rest.find('\n');
    std::string_view line = rest.substr(0, newline);
    rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
    if (newline != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    if (!line.starts_with(kMemAvailable)) continue;
    const auto pieces = split_space(line);
    if (pieces.size() < 2) return std::nullopt;
    const auto kb = parse_u64_decimal(pieces[1]);
    if (!kb || *kb == 0) return std::nullopt;
    return *kb;
  }
  return std::nullopt;
}

size_t resolve_worker_count(std::optional<size_t> requested, std::optional<size_t> cores,
                            std::optional<std::string_view> meminfo) {
  if (requested) return std::max<size_t>(*requested, 1);
  const size_t n = cores.value_or(1);
  size_t count;
  if (const auto kb = meminfo ? mem_available_kb(*meminfo) : std::nullopt) {
    count = std::min<size_t>(std::max<uint64_t>(*kb >> kKbPerWorkerShift, 1), n);
  } else {
    count = n / 10 * 9 + n % 10 * 9 / 10;
  }
  return std::max<size_t>(count, 1);
}

size_t build_worker_count(std::optional<size_t> requested) {
  if (requested) return resolve_worker_count(requested, std::nullopt, std::nullopt);
  const std::optional<std::string> meminfo = read_meminfo();
  return resolve_worker_count(std::nullopt, available_cores(), meminfo);
}

}  // namespace corv::fullmap
