// A worker's term map: normalised term -> postings in emission order.
// Duplicates are kept here; the spill sorts and de-duplicates.
//
// Shaped for a map that fills with mostly new keys and is drained whole:
// term bytes go to an arena that is rewound on clear(), postings to one
// shared node array, and a slot is a single 32-byte record holding the
// term's XXH64, which the spill partitions and sorts by. A new key thus
// costs no allocation and one slot's cache line.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corv::fullmap {

struct Posting {
  uint32_t curie_id = 0;
  uint8_t source_id = 0;
  friend auto operator<=>(const Posting&, const Posting&) = default;
};

class TermMap {
 public:
  // A stored term, numbered 1, 2, ... in order of first sight (0 marks a
  // free slot); each posting records the number of its term, so adding to a
  // known term writes nothing to the slot. Terms of up to kInlineBytes live
  // in the slot itself, so neither a lookup nor the spill chases them.
  static constexpr size_t kInlineBytes = 16;
  struct Entry {
    uint64_t hash;
    uint32_t key_no;
    uint32_t size;
    union {
      char inline_bytes[kInlineBytes];
      const char* data;
    };
    std::string_view term() const { return {size <= kInlineBytes ? inline_bytes : data, size}; }
  };

  // Postings the node array can index; a caller drains the map first.
  static constexpr size_t kMaxPostings = size_t{1} << 31;

  TermMap() = default;
  ~TermMap();
  TermMap(const TermMap&) = delete;
  TermMap& operator=(const TermMap&) = delete;

  // XXH64 with seed 0: the hash that orders term runs.
  static uint64_t hash_of(std::string_view term);

  // Records `posting` under `term`. The insert itself may wait in a short
  // queue while the slot it needs is fetched from memory, so that several
  // cache misses overlap; every reader below first completes it.
  void add(std::string_view term, Posting posting);

  size_t size() const {
    flush();
    return size_;
  }
  // size() >= n, completing queued inserts only when they could decide it.
  bool holds_at_least(size_t n) const {
    if (size_ >= n) return true;
    if (size_ + queued_ < n) return false;
    flush();
    return size_ >= n;
  }
  bool empty() const { return size_ == 0 && queued_ == 0; }
  size_t posting_count() const { return nodes_.size() + queued_; }
  // Slots allocated; kept by clear().
  size_t capacity() const {
    flush();
    return slot_count_;
  }

  // Forgets every term and posting, keeping the table and arena storage.
  void clear();

  // Calls fn(const Entry&) for every stored term, in table order.
  template <class Fn>
  void for_each(Fn&& fn) const {
    flush();
    for (size_t i = 0; i < slot_count_; ++i) {
      if (slots_[i].key_no != 0) fn(slots_[i]);
    }
  }

  // Gathers the postings of the entries in `order` into `flat`, one group
  // per entry in that order, each group in emission order: entry i's are
  // flat[offsets[i], offsets[i + 1]). Reads the postings front to back
  // twice rather than chasing them term by term.
  void group_postings(std::span<const Entry* const> order, std::vector<uint32_t>& offsets,
                      std::vector<Posting>& flat) const;
  // The postings recorded under `term` in emission order; empty if absent.
  std::vector<Posting> postings(std::string_view term) const;

 private:
  struct Node {
    Posting posting;
    uint32_t key_no;
  };
  // Small tables come from the allocator, large ones straight from the
  // kernel (already zeroed, and huge-page backed where it can).
  struct SlotsFree {
    size_t bytes;  // a member initializer would make it not default-constructible inside TermMap
    void operator()(Entry* p) const;
  };
  using Slots = std::unique_ptr<Entry[], SlotsFree>;
  static Slots zeroed_slots(size_t count);

  // Bump allocation of term bytes in blocks that survive a rewind; a term
  // too long for a block gets a block of its own, freed by the rewind.
  class Arena {
   public:
    char* copy(std::string_view bytes);
    void rewind();

   private:
    static constexpr size_t kBlockBytes = size_t{1} << 20;
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<std::unique_ptr<char[]>> oversized_;
    size_t block_ = 0;  // blocks_[block_ - 1] is the one being filled
    char* next_ = nullptr;
    char* end_ = nullptr;
  };

  // Inserts in flight once the table outgrows the caches: enough to cover
  // a memory round trip with the normalisation work between two adds. A
  // smaller table is updated at once, queueing would only cost there.
  static constexpr size_t kQueueDepth = 16;
  static constexpr size_t kQueueFromSlots = size_t{1} << 17;
  // A term on its way into a slot; a short one is zero-padded as slots
  // keep it, so comparing it is two word compares.
  struct Key {
    uint64_t hash;
    std::string_view term;
    uint64_t words[2];
  };
  struct Queued {
    uint64_t hash = 0;
    Posting posting;
    uint32_t size = 0;
    uint64_t words[2] = {0, 0};
    std::string long_term;  // keeps its storage between uses
  };

  void prefetch(uint64_t hash) const {
    if (slot_count_ != 0) __builtin_prefetch(&slots_[hash >> shift_], 1);
  }
  static Key make_key(std::string_view term, uint64_t hash);
  static bool matches(const Entry& e, const Key& key);
  void insert(const Key& key, Posting posting);
  void insert(const Queued& q);
  // Completes the queued inserts, oldest first. Logically const: the map's
  // contents are the same before and after.
  void flush() const {
    if (queued_ != 0) const_cast<TermMap*>(this)->drain_queue();
  }
  void drain_queue();

  // Returns the new node's index + 1.
  void push_node(Posting posting, uint32_t key_no) { nodes_.push_back({posting, key_no}); }
  void grow();
  Entry* find(const Key& key) const;

  Slots slots_;
  size_t slot_count_ = 0;
  size_t mask_ = 0;
  unsigned shift_ = 63;
  size_t size_ = 0;
  size_t grow_at_ = 0;
  std::array<Queued, kQueueDepth> queue_;
  size_t queue_head_ = 0;  // oldest
  size_t queued_ = 0;
  std::vector<Node> nodes_;
  Arena arena_;
};

}  // namespace corv::fullmap
