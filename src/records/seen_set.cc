#include "records/seen_set.h"

#include <xxhash.h>

#include <algorithm>
#include <cstring>

namespace corv::records {

const char* SeenSet::store(std::string_view bytes) {
  if (bytes.empty()) return "";
  if (bytes.size() > left_) {
    size_t size = std::max(next_block_, bytes.size());
    next_block_ = std::min<size_t>(next_block_ * 2, 64 * 1024 * 1024);
    blocks_.push_back(std::make_unique<char[]>(size));
    cur_ = blocks_.back().get();
    left_ = size;
  }
  char* p = cur_;
  std::memcpy(p, bytes.data(), bytes.size());
  cur_ += bytes.size();
  left_ -= bytes.size();
  return p;
}

bool SeenSet::insert_if_new(std::string_view bytes) {
  uint64_t digest = XXH64(bytes.data(), bytes.size(), 0);
  auto [it, inserted] = heads_.try_emplace(digest, entries_.size());
  if (!inserted) {
    size_t last = kNone;
    for (size_t i = it->second; i != kNone; i = entries_[i].next) {
      const Entry& e = entries_[i];
      if (e.size == bytes.size() && std::memcmp(e.data, bytes.data(), bytes.size()) == 0) return false;
      last = i;
    }
    entries_[last].next = entries_.size();
  }
  entries_.push_back(Entry{store(bytes), bytes.size(), kNone});
  return true;
}

}  // namespace corv::records
