#include "fullmap/build/sharded_map.h"

#include <mutex>

#include <xxhash.h>

#include "common/table_room.h"

namespace corv::fullmap {

size_t ShardedMap::slot_of(std::string_view text) { return XXH64(text.data(), text.size(), 0) & (kIngestSlots - 1); }

uint16_t ShardedMap::get_or_assign(std::string_view text, std::atomic<uint32_t>& counter, const char* limit_message) {
  Slot& slot = slots_[slot_of(text)];
  const absl::string_view key(text.data(), text.size());
  {
    std::shared_lock read(slot.mutex);
    slot.poison.check();
    if (auto it = slot.ids.find(key); it != slot.ids.end()) return it->second;
  }
  std::unique_lock write(slot.mutex);
  slot.poison.check();
  PoisonOnUnwind poison_on_fault(slot.poison);
  // Another worker may have inserted it between the two locks.
  if (auto it = slot.ids.find(key); it != slot.ids.end()) return it->second;
  std::string owned(text);
  make_room(slot.ids);
  uint32_t id = counter.fetch_add(1, std::memory_order_relaxed);
  if (id > UINT16_MAX) throw IngestFault(limit_message);
  slot.ids.try_emplace(std::move(owned), static_cast<uint16_t>(id));
  return static_cast<uint16_t>(id);
}

absl::flat_hash_map<std::string, uint16_t> ShardedMap::to_map() const {
  absl::flat_hash_map<std::string, uint16_t> out;
  for (const Slot& slot : slots_) {
    std::shared_lock read(slot.mutex);
    slot.poison.check();
    for (const auto& [text, id] : slot.ids) {
      std::string copy = text;
      make_room(out);
      out.try_emplace(std::move(copy), id);
    }
  }
  return out;
}

absl::uint128 CurieIdMap::key_of(std::string_view curie) {
  XXH128_hash_t h = XXH3_128bits(curie.data(), curie.size());
  return absl::MakeUint128(h.high64, h.low64);
}

CurieIdMap::Assigned CurieIdMap::get_or_assign(std::string_view curie, std::atomic<uint64_t>& counter) {
  absl::uint128 key = key_of(curie);
  Slot& slot = slots_[slot_of(key)];
  {
    std::shared_lock read(slot.mutex);
    slot.poison.check();
    if (auto it = slot.ids.find(key); it != slot.ids.end()) return {it->second, false};
  }
  std::unique_lock write(slot.mutex);
  slot.poison.check();
  PoisonOnUnwind poison_on_fault(slot.poison);
  if (auto it = slot.ids.find(key); it != slot.ids.end()) return {it->second, false};
  make_room(slot.ids);
  uint64_t id = counter.fetch_add(1, std::memory_order_relaxed);
  if (id > UINT32_MAX) throw IngestFault("too many fullmap curies");
  slot.ids.emplace(key, static_cast<uint32_t>(id));
  return {static_cast<uint32_t>(id), true};
}

}  // namespace corv::fullmap
