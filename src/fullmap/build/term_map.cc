#include "fullmap/build/term_map.h"

#include <sys/mman.h>
// Inlined: most terms are a few dozen bytes, where the call would cost as
// much as the hash.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>

namespace corv::fullmap {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kSlotAlign = 64;  // an entry never straddles a cache line
// Smaller tables stay with the allocator: a mapping per small map would cost
// a system call and a page fault per 4 KiB.
constexpr size_t kMapFromBytes = 2 * kHugePage;

size_t mapped_bytes(size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

// A table probed at random asks for huge pages before its first touch: with
// 4 KiB pages most probes would be a TLB miss as well as a cache miss. The
// mapping is trimmed to a huge-page boundary so that all of it qualifies.
void* map_zeroed(size_t bytes) {
  const size_t length = mapped_bytes(bytes);
  void* p = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  char* const raw = static_cast<char*>(p);
  const size_t head = mapped_bytes(reinterpret_cast<uintptr_t>(raw)) - reinterpret_cast<uintptr_t>(raw);
  char* const start = raw + head;
  if (head != 0) ::munmap(raw, head);
  if (head != kHugePage) ::munmap(start + length, kHugePage - head);
  ::madvise(start, length, MADV_HUGEPAGE);  // advice only: the memory works without it
  return start;
}

constexpr size_t kFirstSlotCount = 16;

}  // namespace

TermMap::~TermMap() = default;

TermMap::Slots TermMap::zeroed_slots(size_t count) {
  const size_t bytes = count * sizeof(Entry);
  void* p;
  if (bytes >= kMapFromBytes) {
    p = map_zeroed(bytes);
  } else {
    p = ::operator new(bytes, std::align_val_t{kSlotAlign});
    std::memset(p, 0, bytes);
  }
  return Slots(static_cast<Entry*>(p), SlotsFree{bytes});
}

void TermMap::SlotsFree::operator()(Entry* p) const {
  if (bytes >= kMapFromBytes) {
    ::munmap(p, mapped_bytes(bytes));
  } else {
    ::operator delete(p, std::align_val_t{kSlotAlign});
  }
}

uint64_t TermMap::hash_of(std::string_view term) { return XXH64(term.data(), term.size(), 0); }

char* TermMap::Arena::copy(std::string_view bytes) {
  const size_t n = bytes.size();
  if (next_ == nullptr || n > static_cast<size_t>(end_ - next_)) {
    if (n > kBlockBytes / 4) {
      oversized_.push_back(std::make_unique_for_overwrite<char[]>(std::max<size_t>(n, 1)));
      char* out = oversized_.back().get();
      std::memcpy(out, bytes.data(), n);
      return out;
    }
    if (block_ == blocks_.size()) blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockBytes));
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

TermMap::Key TermMap::make_key(std::string_view term, uint64_t hash) {
  Key key{hash, term, {0, 0}};
  if (term.size() <= kInlineBytes) std::memcpy(key.words, term.data(), term.size());
  return key;
}

bool TermMap::matches(const Entry& e, const Key& key) {
  if (e.hash != key.hash || e.size != key.term.size()) return false;
  if (key.term.size() <= kInlineBytes) {
    uint64_t stored[2];
    std::memcpy(stored, e.inline_bytes, sizeof stored);
    return stored[0] == key.words[0] && stored[1] == key.words[1];
  }
  return std::memcmp(e.data, key.term.data(), key.term.size()) == 0;
}

TermMap::Entry* TermMap::find(const Key& key) const {
  if (slot_count_ == 0) return nullptr;
  for (size_t i = key.hash >> shift_;; i = (i + 1) & mask_) {
    Entry& e = slots_[i];
    if (e.key_no == 0) return nullptr;
    if (matches(e, key)) return &e;
  }
}

void TermMap::add(std::string_view term, Posting posting) {
  if (term.size() > UINT32_MAX) throw std::length_error("term too long for the term map");
  if (nodes_.size() + queued_ >= kMaxPostings) throw std::length_error("term map holds too many postings");
  const uint64_t hash = hash_of(term);
  // The table never shrinks, so nothing is queued while it is small.
  if (slot_count_ < kQueueFromSlots) {
    insert(make_key(term, hash), posting);
    return;
  }
  if (queued_ == kQueueDepth) {
    insert(queue_[queue_head_]);
    queue_head_ = (queue_head_ + 1) % kQueueDepth;
    --queued_;
  }
  prefetch(hash);
  Queued& q = queue_[(queue_head_ + queued_) % kQueueDepth];
  q.hash = hash;
  q.posting = posting;
  q.size = static_cast<uint32_t>(term.size());
  if (term.size() <= kInlineBytes) {
    q.words[0] = 0;
    q.words[1] = 0;
    std::memcpy(q.words, term.data(), term.size());
  } else {
    q.long_term.assign(term);
  }
  ++queued_;
}

void TermMap::drain_queue() {
  for (; queued_ != 0; --queued_) {
    insert(queue_[queue_head_]);
    queue_head_ = (queue_head_ + 1) % kQueueDepth;
  }
}

void TermMap::insert(const Queued& q) {
  Key key{q.hash, {}, {q.words[0], q.words[1]}};
  key.term = q.size <= kInlineBytes ? std::string_view(reinterpret_cast<const char*>(q.words), q.size)
                                    : std::string_view(q.long_term);
  insert(key, q.posting);
}

void TermMap::insert(const Key& key, Posting posting) {
  if (size_ >= grow_at_) grow();
  for (size_t i = key.hash >> shift_;; i = (i + 1) & mask_) {
    Entry& e = slots_[i];
    if (e.key_no == 0) {
      e.hash = key.hash;
      e.size = static_cast<uint32_t>(key.term.size());
      if (key.term.size() <= kInlineBytes) {
        std::memcpy(e.inline_bytes, key.words, kInlineBytes);
      } else {
        e.data = arena_.copy(key.term);
      }
      ++size_;
      e.key_no = static_cast<uint32_t>(size_);
      push_node(posting, e.key_no);
      return;
    }
    if (matches(e, key)) {
      push_node(posting, e.key_no);
      return;
    }
  }
}

// Doubles the table (at most half full, so linear probes stay short) and
// re-places every entry by its stored hash, without touching term bytes.
void TermMap::grow() {
  const size_t count = slot_count_ == 0 ? kFirstSlotCount : slot_count_ * 2;
  Slots slots = zeroed_slots(count);
  const unsigned shift = 64 - static_cast<unsigned>(std::countr_zero(count));
  const size_t mask = count - 1;
  for (size_t j = 0; j < slot_count_; ++j) {
    const Entry& e = slots_[j];
    if (e.key_no == 0) continue;
    size_t i = e.hash >> shift;
    while (slots[i].key_no != 0) i = (i + 1) & mask;
    slots[i] = e;
  }
  slots_ = std::move(slots);
  slot_count_ = count;
  mask_ = mask;
  shift_ = shift;
  grow_at_ = count / 2;
}

void TermMap::clear() {
  queued_ = 0;
  if (size_ != 0) std::memset(static_cast<void*>(slots_.get()), 0, slot_count_ * sizeof(Entry));
  size_ = 0;
  nodes_.clear();
  arena_.rewind();
}

void TermMap::group_postings(std::span<const Entry* const> order, std::vector<uint32_t>& offsets,
                             std::vector<Posting>& flat) const {
  flush();
  constexpr uint32_t kUnlisted = UINT32_MAX;
  std::vector<uint32_t> rank(size_, kUnlisted);
  for (size_t i = 0; i < order.size(); ++i) rank[order[i]->key_no - 1] = static_cast<uint32_t>(i);

  // Counting sort, stable, so each group keeps emission order.
  offsets.assign(order.size() + 1, 0);
  for (const Node& n : nodes_) {
    if (const uint32_t r = rank[n.key_no - 1]; r != kUnlisted) ++offsets[r + 1];
  }
  for (size_t i = 1; i < offsets.size(); ++i) offsets[i] += offsets[i - 1];
  flat.resize(offsets.back());
  for (const Node& n : nodes_) {
    if (const uint32_t r = rank[n.key_no - 1]; r != kUnlisted) flat[offsets[r]++] = n.posting;
  }
  // Each offset now holds its group's end, the next group's start.
  std::copy_backward(offsets.begin(), offsets.end() - 1, offsets.end());
  offsets[0] = 0;
}

std::vector<Posting> TermMap::postings(std::string_view term) const {
  flush();
  std::vector<Posting> out;
  const Entry* e = find(make_key(term, hash_of(term)));
  if (e == nullptr) return out;
  for (const Node& n : nodes_) {
    if (n.key_no == e->key_no) out.push_back(n.posting);
  }
  return out;
}

}  // namespace corv::fullmap
