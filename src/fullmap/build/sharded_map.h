// Interning maps shared by the ingest workers. Each map is split into 64
// slots, each behind its own reader-writer lock, so that workers rarely
// contend and a text that is already known costs only a read lock.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "absl/container/flat_hash_map.h"
#include "absl/numeric/int128.h"
#include "fullmap/build/ingest_fault.h"

namespace corv::fullmap {

inline constexpr size_t kIngestSlots = 64;

// Text -> dense u16 id. The counter lives outside the map (the ingest
// context owns it) so that ids are dense across all slots.
class ShardedMap {
 public:
  ShardedMap() = default;
  ShardedMap(const ShardedMap&) = delete;
  ShardedMap& operator=(const ShardedMap&) = delete;

  // The slot of a text: XXH64(text, seed 0) & 63.
  static size_t slot_of(std::string_view text);

  // The id of `text`, drawing the next value of `counter` when the text is
  // new. Running past id 65,535 throws IngestFault(limit_message) with the
  // slot's write lock held, which leaves that slot failed for later users;
  // the counter stays advanced.
  uint16_t get_or_assign(std::string_view text, std::atomic<uint32_t>& counter, const char* limit_message);

  // Every (text, id), gathered slot by slot under the read locks.
  absl::flat_hash_map<std::string, uint16_t> to_map() const;

 private:
  struct alignas(64) Slot {
    mutable std::shared_mutex mutex;
    PoisonFlag poison;
    absl::flat_hash_map<std::string, uint16_t> ids;
  };
  std::array<Slot, kIngestSlots> slots_;
};

// CURIE -> dense u32 id, keyed by the XXH3-128 of the CURIE text so that
// the slots hold fixed-size keys; the text itself is not kept.
class CurieIdMap {
 public:
  struct Assigned {
    uint32_t id = 0;
    bool is_new = false;
  };

  CurieIdMap() = default;
  CurieIdMap(const CurieIdMap&) = delete;
  CurieIdMap& operator=(const CurieIdMap&) = delete;

  static absl::uint128 key_of(std::string_view curie);
  // The slot of a key: its low 64 bits & 63.
  static size_t slot_of(absl::uint128 key) { return absl::Uint128Low64(key) & (kIngestSlots - 1); }

  // Ids are u32; a counter past 2^32 - 1 would hand out ids twice, so it
  // throws IngestFault("too many fullmap curies") instead.
  Assigned get_or_assign(std::string_view curie, std::atomic<uint64_t>& counter);

 private:
  struct KeyHash {
    // The key is already a strong hash.
    size_t operator()(absl::uint128 key) const {
      return static_cast<size_t>(absl::Uint128High64(key) ^ absl::Uint128Low64(key));
    }
  };
  struct alignas(64) Slot {
    mutable std::shared_mutex mutex;
    PoisonFlag poison;
    absl::flat_hash_map<absl::uint128, uint32_t, KeyHash> ids;
  };
  std::array<Slot, kIngestSlots> slots_;
};

}  // namespace corv::fullmap
