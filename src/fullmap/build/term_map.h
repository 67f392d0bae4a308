// A worker's term map: normalised term -> postings in emission order.
// Duplicates are kept here; the spill sorts and de-duplicates.
//
// Shaped for a map that fills with mostly new keys and is drained whole:
// term bytes go to an arena that is rewound on clear(), postings to one
// shared node array, and a slot is a single 32-byte record holding the
// term's XXH64, which the spill partitions and sorts by. A new key thus
// costs no allocation and one slot's cache line.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include <mimalloc.h>

namespace corv::fullmap {

struct Posting {
  uint32_t curie_id = 0;
  uint8_t source_id = 0;
  friend auto operator<=>(const Posting&, const Posting&) = default;
};

class TermMap {
 public:
  // A stored term. Postings are chained newest first from node `head - 1`;
  // head 0 marks a free slot. Terms of up to kInlineBytes live in the slot
  // itself, so neither a lookup nor the spill chases them.
  static constexpr size_t kInlineBytes = 16;
  struct Entry {
    uint64_t hash;
    uint32_t head;
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

  void add(std::string_view term, Posting posting) { add(term, hash_of(term), posting); }
  // `hash` must be hash_of(term).
  void add(std::string_view term, uint64_t hash, Posting posting);

  // Starts loading the slot where a term with this hash is looked up first.
  void prefetch(uint64_t hash) const {
    if (slot_count_ != 0) __builtin_prefetch(&slots_[hash >> shift_], 1);
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t posting_count() const { return nodes_.size(); }
  // Slots allocated; kept by clear().
  size_t capacity() const { return slot_count_; }

  // Forgets every term and posting, keeping the table and arena storage.
  void clear();

  // Calls fn(const Entry&) for every stored term, in table order.
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (size_t i = 0; i < slot_count_; ++i) {
      if (slots_[i].head != 0) fn(slots_[i]);
    }
  }

  // Replaces `out` with the entry's postings in emission order.
  void postings_of(const Entry& entry, std::vector<Posting>& out) const;
  // The postings recorded under `term` in emission order; empty if absent.
  std::vector<Posting> postings(std::string_view term) const;

 private:
  struct Node {
    Posting posting;
    uint32_t next;
  };
  struct MiFree {
    void operator()(void* p) const { mi_free(p); }
  };
  // Bump allocation of term bytes in blocks that survive a rewind; a term
  // too long for a block gets a block of its own, freed by the rewind.
  class Arena {
   public:
    char* copy(std::string_view bytes);
    void rewind();

   private:
    static constexpr size_t kBlockBytes = size_t{1} << 20;
    std::vector<std::unique_ptr<char[], MiFree>> blocks_;
    std::vector<std::unique_ptr<char[], MiFree>> oversized_;
    size_t block_ = 0;  // blocks_[block_ - 1] is the one being filled
    char* next_ = nullptr;
    char* end_ = nullptr;
  };

  static constexpr uint32_t kNoNode = 0;

  // Returns the new node's index + 1.
  uint32_t push_node(Posting posting, uint32_t next);
  void grow();
  Entry* find(std::string_view term, uint64_t hash) const;

  std::unique_ptr<Entry[], MiFree> slots_;
  size_t slot_count_ = 0;
  size_t mask_ = 0;
  unsigned shift_ = 63;
  size_t size_ = 0;
  size_t grow_at_ = 0;
  std::vector<Node, mi_stl_allocator<Node>> nodes_;
  Arena arena_;
};

}  // namespace corv::fullmap
