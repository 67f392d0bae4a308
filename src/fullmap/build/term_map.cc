#include "fullmap/build/term_map.h"

#include <xxhash.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>

namespace corv::fullmap {
namespace {

template <class T>
T* mi_array(size_t count, bool zeroed) {
  void* p = zeroed ? mi_calloc_aligned(count, sizeof(T), 64) : mi_malloc(count * sizeof(T));
  if (p == nullptr) throw std::bad_alloc();
  return static_cast<T*>(p);
}

constexpr size_t kFirstSlotCount = 16;

}  // namespace

TermMap::~TermMap() = default;

uint64_t TermMap::hash_of(std::string_view term) { return XXH64(term.data(), term.size(), 0); }

char* TermMap::Arena::copy(std::string_view bytes) {
  const size_t n = bytes.size();
  if (next_ == nullptr || n > static_cast<size_t>(end_ - next_)) {
    if (n > kBlockBytes / 4) {
      oversized_.emplace_back(mi_array<char>(std::max<size_t>(n, 1), false));
      char* out = oversized_.back().get();
      std::memcpy(out, bytes.data(), n);
      return out;
    }
    if (block_ == blocks_.size()) blocks_.emplace_back(mi_array<char>(kBlockBytes, false));
    next_ = blocks_[block_++].get();
    end_ = next_ + kBlockBytes;
  }
  char* out = next_;
  if (n != 0) std::memcpy(out, bytes.data(), n);
  next_ += n;
  return out;
}

void TermMap::Arena::rewind() {
  oversized_.clear();
  block_ = 0;
  next_ = nullptr;
  end_ = nullptr;
}

uint32_t TermMap::push_node(Posting posting, uint32_t next) {
  if (nodes_.size() >= kMaxPostings) throw std::length_error("term map holds too many postings");
  nodes_.push_back({posting, next});
  return static_cast<uint32_t>(nodes_.size());
}

namespace {

inline bool holds(const TermMap::Entry& e, std::string_view term, uint64_t hash) {
  return e.hash == hash && e.size == term.size() && std::memcmp(e.term().data(), term.data(), term.size()) == 0;
}

}  // namespace

TermMap::Entry* TermMap::find(std::string_view term, uint64_t hash) const {
  if (slot_count_ == 0) return nullptr;
  for (size_t i = hash >> shift_;; i = (i + 1) & mask_) {
    Entry& e = slots_[i];
    if (e.head == 0) return nullptr;
    if (holds(e, term, hash)) return &e;
  }
}

void TermMap::add(std::string_view term, uint64_t hash, Posting posting) {
  if (term.size() > UINT32_MAX) throw std::length_error("term too long for the term map");
  if (size_ >= grow_at_) grow();
  for (size_t i = hash >> shift_;; i = (i + 1) & mask_) {
    Entry& e = slots_[i];
    if (e.head == 0) {
      e.hash = hash;
      e.size = static_cast<uint32_t>(term.size());
      if (term.size() <= kInlineBytes) {
        std::memcpy(e.inline_bytes, term.data(), term.size());
      } else {
        e.data = arena_.copy(term);
      }
      e.head = push_node(posting, kNoNode);
      ++size_;
      return;
    }
    if (holds(e, term, hash)) {
      e.head = push_node(posting, e.head);
      return;
    }
  }
}

// Doubles the table (at most half full, so linear probes stay short) and
// re-places every entry by its stored hash, without touching term bytes.
void TermMap::grow() {
  const size_t count = slot_count_ == 0 ? kFirstSlotCount : slot_count_ * 2;
  std::unique_ptr<Entry[], MiFree> slots(mi_array<Entry>(count, true));
  const unsigned shift = 64 - static_cast<unsigned>(std::countr_zero(count));
  const size_t mask = count - 1;
  for (size_t j = 0; j < slot_count_; ++j) {
    const Entry& e = slots_[j];
    if (e.head == 0) continue;
    size_t i = e.hash >> shift;
    while (slots[i].head != 0) i = (i + 1) & mask;
    slots[i] = e;
  }
  slots_ = std::move(slots);
  slot_count_ = count;
  mask_ = mask;
  shift_ = shift;
  grow_at_ = count / 2;
}

void TermMap::clear() {
  if (size_ != 0) std::memset(static_cast<void*>(slots_.get()), 0, slot_count_ * sizeof(Entry));
  size_ = 0;
  nodes_.clear();
  arena_.rewind();
}

void TermMap::postings_of(const Entry& entry, std::vector<Posting>& out) const {
  out.clear();
  for (uint32_t n = entry.head; n != kNoNode; n = nodes_[n - 1].next) out.push_back(nodes_[n - 1].posting);
  std::reverse(out.begin(), out.end());
}

std::vector<Posting> TermMap::postings(std::string_view term) const {
  std::vector<Posting> out;
  if (const Entry* e = find(term, hash_of(term))) postings_of(*e, out);
  return out;
}

}  // namespace corv::fullmap
