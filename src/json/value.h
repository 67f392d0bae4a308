// JSON value tree for whole records.
//
// A Value is a small trivially copyable handle; strings, arrays and member
// lists live in an Arena that must outlive every Value made from it.
// Copying a Value copies the handle, not the content. Objects keep member
// insertion order and unique keys.
//
//   json::Arena arena;
//   auto v = json::parse(R"({"b":1,"a":[true,null]})", arena);
//   if (!v) return fail(std::move(v.error()));
//   for (const json::Member& m : v->members()) use(m.key, m.value);
//   arena.reset();   // invalidates v; keeps the memory for the next record
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "json/reader.h"

namespace corv::json {

// Bump allocator for value trees. reset() rewinds it for reuse without
// returning the memory, so a loop over records allocates only while its
// largest record grows.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  void* allocate(size_t bytes, size_t align = alignof(std::max_align_t)) {
    uintptr_t p = (reinterpret_cast<uintptr_t>(cur_) + (align - 1)) & ~(uintptr_t{align} - 1);
    if (cur_ != nullptr && p + bytes <= reinterpret_cast<uintptr_t>(limit_)) {
      cur_ = reinterpret_cast<char*>(p + bytes);
      return reinterpret_cast<void*>(p);
    }
    return allocate_slow(bytes, align);
  }
  template <class T>
  T* allocate_array(size_t n) {
    return static_cast<T*>(allocate(n * sizeof(T) == 0 ? 1 : n * sizeof(T), alignof(T)));
  }
  std::string_view copy(std::string_view s);

  void reset();
  size_t capacity() const;

 private:
  void* allocate_slow(size_t bytes, size_t align);

  struct Block {
    std::unique_ptr<char[]> data;
    size_t size;
  };
  std::vector<Block> blocks_;
  size_t block_index_ = 0;
  char* cur_ = nullptr;
  char* limit_ = nullptr;
};

enum class Kind : uint8_t { kNull, kBool, kNumber, kString, kArray, kObject };

struct Member;

class Value {
 public:
  Value() : kind_(Kind::kNull), num_kind_(Number::Kind::kU64), size_(0), u64_(0) {}

  static Value null() { return Value(); }
  static Value boolean(bool b) {
    Value v;
    v.kind_ = Kind::kBool;
    v.u64_ = b ? 1 : 0;
    return v;
  }
  static Value number(Number n);
  static Value from_u64(uint64_t x) { return number(Number::from_u64(x)); }
  static Value from_i64(int64_t x) { return number(Number::from_i64(x)); }
  static Value from_f64(double x) { return number(Number::from_f64(x)); }
  // `s` must already live in the arena (or outlive the value).
  static Value string_view_of(std::string_view s);
  static Value string(std::string_view s, Arena& arena) { return string_view_of(arena.copy(s)); }
  // Copies the element or member handles into the arena. Keys of `members`
  // must be unique and must outlive the value.
  static Value array(std::span<const Value> items, Arena& arena);
  static Value object(std::span<const Member> members, Arena& arena);
  // Wrap storage the caller already placed in an arena (no copy).
  static Value adopt_array(const Value* items, size_t n);
  static Value adopt_object(const Member* members, size_t n);

  Kind kind() const { return kind_; }
  bool is_null() const { return kind_ == Kind::kNull; }
  bool is_bool() const { return kind_ == Kind::kBool; }
  bool is_number() const { return kind_ == Kind::kNumber; }
  bool is_string() const { return kind_ == Kind::kString; }
  bool is_array() const { return kind_ == Kind::kArray; }
  bool is_object() const { return kind_ == Kind::kObject; }

  bool as_bool() const { return u64_ != 0; }
  Number as_number() const;
  std::string_view as_string() const { return {str_, size_}; }
  std::span<const Value> items() const { return {items_, size_}; }
  std::span<const Member> members() const;
  // Linear lookup; nullptr when absent or not an object.
  const Value* find(std::string_view key) const;

 private:
  friend class TreeBuilder;
  Kind kind_;
  Number::Kind num_kind_;
  size_t size_;  // string bytes, element or member count
  union {
    uint64_t u64_;
    int64_t i64_;
    double f64_;
    const char* str_;
    const Value* items_;
    const Member* members_;
  };
};

struct Member {
  std::string_view key;
  Value value;
};

inline std::span<const Member> Value::members() const { return {members_, size_}; }

// Parses `text` as exactly one JSON value with optional JSON white space
// around it. Strings and keys are copied into `arena`, so the tree does not
// depend on `text`. See reader.h for the error texts.
Result<Value> parse(std::string_view text, Arena& arena, bool assume_valid_utf8 = false);
// Like parse, but strings and keys without escapes point into `text`,
// which must then outlive the tree. For tight loops over lines.
Result<Value> parse_borrowing(std::string_view text, Arena& arena, bool assume_valid_utf8 = false);

// Structural equality; numbers compare by kind and value (1 and 1.0 differ).
bool operator==(const Value& a, const Value& b);

}  // namespace corv::json
