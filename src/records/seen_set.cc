#include "records/seen_set.h"

#include <sys/mman.h>
#include <xxhash.h>

#include <new>

#include <algorithm>
#include <cstring>

#include "common/table_room.h"

namespace corv::records {

void SeenSet::BlockDeleter::operator()(Block* b) const {
  ::munmap(b->data, b->size);
  delete b;
}

const char* SeenSet::store(std::string_view bytes) {
  if (bytes.empty()) return "";
  if (bytes.size() > left_) {
    constexpr size_t kPage = 4096;
    size_t size = (std::max(next_block_, bytes.size()) + kPage - 1) & ~(kPage - 1);
    // Everything that can throw comes before the mapping, which is then
    // owned at once: running out of memory must not leak it.
    if (blocks_.size() == blocks_.capacity()) blocks_.reserve(2 * blocks_.size() + 1);
    auto block = std::make_unique<Block>();
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    *block = Block{static_cast<char*>(p), size};
    blocks_.emplace_back(block.release());
    next_block_ = std::min<size_t>(next_block_ * 2, 64 * 1024 * 1024);
    cur_ = static_cast<char*>(p);
    left_ = size;
  }
  char* p = cur_;
  std::memcpy(p, bytes.data(), bytes.size());
  cur_ += bytes.size();
  left_ -= bytes.size();
  return p;
}

uint64_t SeenSet::xxh64_digest(std::string_view bytes) { return XXH64(bytes.data(), bytes.size(), 0); }

bool SeenSet::insert_if_new(std::string_view bytes) {
  uint64_t digest = digest_(bytes);
  make_room(heads_);
  auto [it, inserted] = heads_.try_emplace(digest);
  if (inserted) {
    it->second = Entry{store(bytes), bytes.size(), kNone};
    ++count_;
    return true;
  }
  Entry* e = &it->second;
  for (;;) {
    if (e->size == bytes.size() && std::memcmp(e->data, bytes.data(), bytes.size()) == 0) return false;
    if (e->next == kNone) break;
    e = &overflow_[e->next];
  }
  e->next = overflow_.size();  // before push_back, which may move *e
  overflow_.push_back(Entry{store(bytes), bytes.size(), kNone});
  ++count_;
  return true;
}

}  // namespace corv::records
