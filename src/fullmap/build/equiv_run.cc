#include "fullmap/build/equiv_run.h"

#include <xxhash.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <mutex>
#include <utility>

namespace corv::fullmap {
namespace {

Status write_entry(RunWriter& out, const EquivEntry& entry) {
  if (entry.equivalents.size() > std::numeric_limits<uint32_t>::max()) {
    return fail_runtime("key has too many equivalents for a run frame");
  }
  CORV_TRY(out.write_u64(entry.hash));
  CORV_TRY(out.write_str32(entry.key));
  CORV_TRY(out.write_u32(static_cast<uint32_t>(entry.equivalents.size())));
  for (const std::string& id : entry.equivalents) CORV_TRY(out.write_str32(id));
  return {};
}

}  // namespace

std::string equiv_run_name(uint64_t run) {
  char name[40];
  std::snprintf(name, sizeof name, "run_%08" PRIu64 ".bin", run);
  return name;
}

Status spill_equiv_local(EquivMap& map, const HeldDirectory& dir, std::atomic<uint64_t>& counter, EquivRunList& runs) {
  if (map.empty()) return {};
  std::vector<EquivEntry> entries;
  entries.reserve(map.size());
  for (auto it = map.begin(); it != map.end();) {
    auto node = map.extract(it++);
    EquivEntry entry{XXH64(node.key().data(), node.key().size(), 0), std::move(node.key()), std::move(node.mapped())};
    auto& ids = entry.equivalents;
    if (ids.size() >= 2) {
      std::sort(ids.begin(), ids.end());
      ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    }
    entries.push_back(std::move(entry));
  }
  map.clear();  // wipes the tombstones extract() leaves (see common/table_room.h)
  std::sort(entries.begin(), entries.end(), [](const EquivEntry& a, const EquivEntry& b) {
    if (a.hash != b.hash) return a.hash < b.hash;
    return a.key < b.key;
  });

  uint64_t run = counter.fetch_add(1);
  std::string name = equiv_run_name(run);
  auto out = RunWriter::create(dir, name);
  if (!out) return std::unexpected(std::move(out.error()));
  for (const EquivEntry& entry : entries) CORV_TRY(write_entry(*out, entry));
  CORV_TRY(out->finish());

  std::unique_lock lock(runs.mutex);
  runs.names.push_back(std::move(name));
  return {};
}

Result<bool> read_equiv_entry(RunInput& input, EquivEntry& entry) {
  // Storage a huge entry grew is not kept for the ordinary ones after it.
  constexpr size_t kKept = 4096;
  auto end = input.at_end();
  if (!end) return std::unexpected(std::move(end.error()));
  if (*end) return false;

  auto hash = input.read_u64();
  if (!hash) return std::unexpected(std::move(hash.error()));
  entry.hash = *hash;
  auto key_length = input.read_u32();
  if (!key_length) return std::unexpected(std::move(key_length.error()));
  if (entry.key.capacity() > kKept && *key_length <= kKept) std::string().swap(entry.key);
  CORV_TRY(input.read_string(*key_length, entry.key));
  if (auto bad = utf8_error(entry.key)) return fail_runtime(std::move(*bad));
  auto count = input.read_u32();
  if (!count) return std::unexpected(std::move(count.error()));
  std::vector<std::string>& ids = entry.equivalents;
  if (ids.capacity() > kKept && *count <= kKept) std::vector<std::string>().swap(ids);
  if (ids.size() > *count) ids.resize(*count);
  ids.reserve(std::min<uint32_t>(*count, kKept));
  for (uint32_t i = 0; i < *count; ++i) {
    auto length = input.read_u32();
    if (!length) return std::unexpected(std::move(length.error()));
    std::string& id = i < ids.size() ? ids[i] : ids.emplace_back();
    CORV_TRY(input.read_string(*length, id));
    if (auto bad = utf8_error(id)) return fail_runtime(std::move(*bad));
  }
  return true;
}

Result<EquivRunReader> EquivRunReader::open(const HeldDirectory& dir, const std::string& name) {
  auto input = RunInput::open(dir, name, kEquivRunReadBufferBytes);
  if (!input) return std::unexpected(std::move(input.error()));
  return EquivRunReader(std::move(*input));
}

}  // namespace corv::fullmap
