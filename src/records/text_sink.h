// Appending to a std::string through a raw cursor.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace corv::records {

// Appends to a std::string through a raw cursor: one capacity check per
// token instead of one per byte, and no zero-filling of the spare room.
class Sink {
 public:
  explicit Sink(std::string& s) : s_(s), len_(s.size()) {}
  ~Sink() { s_.resize(len_); }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  char* reserve(size_t n) {
    if (s_.size() - len_ < n) grow(n);
    return s_.data() + len_;
  }
  void commit(char* end) { len_ = static_cast<size_t>(end - s_.data()); }
  void put(char c) {
    *reserve(1) = c;
    ++len_;
  }
  void put(const char* p, size_t n) {
    if (n == 0) return;  // `p` may be null then
    std::memcpy(reserve(n), p, n);
    len_ += n;
  }
  void put(std::string_view text) { put(text.data(), text.size()); }

 private:
  [[gnu::noinline]] void grow(size_t n) {
    size_t want = std::max({s_.capacity(), 2 * s_.size(), len_ + n + 256});
    s_.resize_and_overwrite(want, [](char*, size_t size) { return size; });
  }

  std::string& s_;
  size_t len_;
};

}  // namespace corv::records
