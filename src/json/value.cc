#include "json/value.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

namespace corv::json {

// ---- Arena ----------------------------------------------------------------

namespace {
constexpr size_t kFirstBlock = 16 * 1024;
constexpr size_t kMaxKeptBytes = 8 * 1024 * 1024;
}  // namespace

void* Arena::allocate_slow(size_t bytes, size_t align) {
  // Try the blocks kept from before a reset(), then grow.
  while (block_index_ + 1 < blocks_.size()) {
    ++block_index_;
    Block& b = blocks_[block_index_];
    cur_ = b.data.get();
    limit_ = cur_ + b.size;
    uintptr_t p = (reinterpret_cast<uintptr_t>(cur_) + (align - 1)) & ~(uintptr_t{align} - 1);
    if (p + bytes <= reinterpret_cast<uintptr_t>(limit_)) {
      cur_ = reinterpret_cast<char*>(p + bytes);
      return reinterpret_cast<void*>(p);
    }
  }
  size_t last = blocks_.empty() ? kFirstBlock / 2 : blocks_.back().size;
  size_t size = std::max(last * 2, bytes + align);
  blocks_.push_back(Block{std::make_unique<char[]>(size), size});
  block_index_ = blocks_.size() - 1;
  cur_ = blocks_.back().data.get();
  limit_ = cur_ + size;
  uintptr_t p = (reinterpret_cast<uintptr_t>(cur_) + (align - 1)) & ~(uintptr_t{align} - 1);
  cur_ = reinterpret_cast<char*>(p + bytes);
  return reinterpret_cast<void*>(p);
}

std::string_view Arena::copy(std::string_view s) {
  // Never a null data pointer: writers memcpy from views without a size
  // check, and a null source is undefined even for zero bytes.
  if (s.empty()) return std::string_view("", 0);
  char* p = static_cast<char*>(allocate(s.size(), 1));
  std::memcpy(p, s.data(), s.size());
  return {p, s.size()};
}

void Arena::reset() {
  // Keep memory for the next record, but not without bound: one huge
  // record should not pin its memory for the rest of a long run.
  size_t kept = 0;
  size_t keep = 0;
  while (keep < blocks_.size() && kept + blocks_[keep].size <= kMaxKeptBytes) {
    kept += blocks_[keep].size;
    ++keep;
  }
  if (keep == 0 && !blocks_.empty()) keep = 1;
  blocks_.resize(keep);
  block_index_ = 0;
  if (blocks_.empty()) {
    cur_ = limit_ = nullptr;
  } else {
    cur_ = blocks_[0].data.get();
    limit_ = cur_ + blocks_[0].size;
  }
}

size_t Arena::capacity() const {
  size_t total = 0;
  for (const Block& b : blocks_) total += b.size;
  return total;
}

// ---- Value ----------------------------------------------------------------

Value Value::number(Number n) {
  Value v;
  v.kind_ = Kind::kNumber;
  v.num_kind_ = n.kind;
  v.u64_ = n.u64;  // same bits for every member of the union
  return v;
}

Number Value::as_number() const {
  Number n;
  n.kind = num_kind_;
  n.u64 = u64_;
  return n;
}

Value Value::string_view_of(std::string_view s) {
  Value v;
  v.kind_ = Kind::kString;
  v.size_ = s.size();
  v.str_ = s.data();
  return v;
}

Value Value::array(std::span<const Value> items, Arena& arena) {
  Value v;
  v.kind_ = Kind::kArray;
  v.size_ = items.size();
  Value* dst = arena.allocate_array<Value>(items.size());
  if (!items.empty()) std::memcpy(static_cast<void*>(dst), items.data(), items.size_bytes());
  v.items_ = dst;
  return v;
}

Value Value::object(std::span<const Member> members, Arena& arena) {
  Value v;
  v.kind_ = Kind::kObject;
  v.size_ = members.size();
  Member* dst = arena.allocate_array<Member>(members.size());
  if (!members.empty()) std::memcpy(static_cast<void*>(dst), members.data(), members.size_bytes());
  v.members_ = dst;
  return v;
}

Value Value::adopt_array(const Value* items, size_t n) {
  Value v;
  v.kind_ = Kind::kArray;
  v.size_ = n;
  v.items_ = items;
  return v;
}

Value Value::adopt_object(const Member* members, size_t n) {
  Value v;
  v.kind_ = Kind::kObject;
  v.size_ = n;
  v.members_ = members;
  return v;
}

const Value* Value::find(std::string_view key) const {
  if (kind_ != Kind::kObject) return nullptr;
  for (const Member& m : members()) {
    if (m.key == key) return &m.value;
  }
  return nullptr;
}

bool operator==(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::kNull: return true;
    case Kind::kBool: return a.as_bool() == b.as_bool();
    case Kind::kNumber: {
      Number x = a.as_number(), y = b.as_number();
      if (x.kind != y.kind) return false;
      if (x.kind == Number::Kind::kF64) return x.f64 == y.f64 && std::signbit(x.f64) == std::signbit(y.f64);
      return x.u64 == y.u64;
    }
    case Kind::kString: return a.as_string() == b.as_string();
    case Kind::kArray: return std::ranges::equal(a.items(), b.items());
    case Kind::kObject:
      return std::ranges::equal(a.members(), b.members(),
                                [](const Member& x, const Member& y) { return x.key == y.key && x.value == y.value; });
  }
  return false;
}

// ---- Tree building ------------------------------------------------------

// Builds trees with the reader's primitives, so that both faces share one
// grammar and one set of error texts. Elements and members collect on
// per-thread stacks and move into the arena when their container closes.
class TreeBuilder {
 public:
  TreeBuilder(Reader& reader, Arena& arena, bool borrow) : r_(reader), arena_(arena), borrow_(borrow) {}

  Result<Value> build() {
    Stacks& s = stacks();
    size_t items_base = s.items.size(), members_base = s.members.size();
    auto v = value(s);
    if (!v) {
      s.items.resize(items_base);
      s.members.resize(members_base);
      s.key_sigs.resize(members_base);
    }
    return v;
  }

 private:
  struct Stacks {
    std::vector<Value> items;
    std::vector<Member> members;
    std::vector<uint64_t> key_sigs;  // parallel to members: see key_sig
    std::string key_scratch;
    std::string value_scratch;
  };
  static Stacks& stacks() {
    thread_local Stacks s;
    return s;
  }

  // Objects beyond this many members get a hash index for repeated keys.
  static constexpr size_t kLinearKeyScan = 16;

  // Length and three sample bytes of a key: different signatures mean
  // different keys, so the repeated-key scan rarely compares bytes.
  static uint64_t key_sig(std::string_view key) {
    size_t n = key.size();
    if (n == 0) return 0;
    auto byte = [&](size_t i) { return static_cast<uint64_t>(static_cast<unsigned char>(key[i])); };
    return (static_cast<uint64_t>(n) << 24) | (byte(0) << 16) | (byte(n / 2) << 8) | byte(n - 1);
  }

  Result<Value> value(Stacks& s) {
    switch (r_.peek()) {
      case TokenKind::kNull: CORV_TRY(r_.read_null()); return Value::null();
      case TokenKind::kTrue:
      case TokenKind::kFalse: {
        auto b = r_.read_bool();
        if (!b) return fail(std::move(b.error()));
        return Value::boolean(*b);
      }
      case TokenKind::kNumber: {
        auto n = r_.read_number();
        if (!n) return fail(std::move(n.error()));
        return Value::number(*n);
      }
      case TokenKind::kString: {
        auto str = r_.read_string(s.value_scratch);
        if (!str) return fail(std::move(str.error()));
        return Value::string_view_of(keep(*str));
      }
      case TokenKind::kArray: return array(s);
      case TokenKind::kObject: return object(s);
      case TokenKind::kEnd:
      case TokenKind::kInvalid: break;
    }
    if (r_.pending_colon_) CORV_TRY(r_.take_colon());
    r_.skip_ws();
    if (r_.pos_ == r_.end_) return fail(r_.error_at(r_.end_, "EOF while parsing a value"));
    return fail(r_.error_at(r_.pos_ + 1, "expected value"));
  }

  Result<Value> array(Stacks& s) {
    CORV_TRY(r_.begin_array());
    size_t base = s.items.size();
    for (;;) {
      auto more = r_.next_element();
      if (!more) return fail(std::move(more.error()));
      if (!*more) break;
      auto v = value(s);
      if (!v) return v;
      s.items.push_back(*v);
    }
    Value out = Value::array(std::span<const Value>(s.items.data() + base, s.items.size() - base), arena_);
    s.items.resize(base);
    return out;
  }

  Result<Value> object(Stacks& s) {
    CORV_TRY(r_.begin_object());
    size_t base = s.members.size();
    std::unique_ptr<std::unordered_map<std::string_view, size_t>> index;
    for (;;) {
      std::string_view key;
      auto more = r_.next_member(key, s.key_scratch);
      if (!more) return fail(std::move(more.error()));
      if (!*more) break;
      std::string_view owned_key = keep(key);
      auto v = value(s);
      if (!v) return v;
      // A repeated key keeps its first position and takes the last value.
      size_t count = s.members.size() - base;
      Member* found = nullptr;
      uint64_t sig = key_sig(owned_key);
      if (index) {
        auto it = index->find(owned_key);
        if (it != index->end()) found = &s.members[base + it->second];
      } else {
        for (size_t i = base; i < s.members.size(); ++i) {
          if (s.key_sigs[i] == sig && s.members[i].key == owned_key) {
            found = &s.members[i];
            break;
          }
        }
      }
      if (found != nullptr) {
        found->value = *v;
        continue;
      }
      s.members.push_back(Member{owned_key, *v});
      s.key_sigs.push_back(sig);
      if (index) {
        index->emplace(owned_key, count);
      } else if (count + 1 > kLinearKeyScan) {
        index = std::make_unique<std::unordered_map<std::string_view, size_t>>();
        for (size_t i = base; i < s.members.size(); ++i) index->emplace(s.members[i].key, i - base);
      }
    }
    Value out = Value::object(std::span<const Member>(s.members.data() + base, s.members.size() - base), arena_);
    s.members.resize(base);
    s.key_sigs.resize(base);
    return out;
  }

  // A view that stays valid for the tree's life: borrowed from the input
  // when allowed and possible, else copied.
  std::string_view keep(std::string_view s) {
    if (borrow_ && s.data() >= r_.begin_ && s.data() + s.size() <= r_.end_) return s;
    return arena_.copy(s);
  }

  Reader& r_;
  Arena& arena_;
  bool borrow_;
};

Result<Value> Reader::read_value(Arena& arena) { return TreeBuilder(*this, arena, false).build(); }

namespace {
Result<Value> parse_text(std::string_view text, Arena& arena, bool assume_valid_utf8, bool borrow) {
  Reader reader(text, assume_valid_utf8);
  auto v = TreeBuilder(reader, arena, borrow).build();
  if (!v) return v;
  CORV_TRY(reader.finish());
  return v;
}
}  // namespace

Result<Value> parse(std::string_view text, Arena& arena, bool assume_valid_utf8) {
  return parse_text(text, arena, assume_valid_utf8, false);
}

Result<Value> parse_borrowing(std::string_view text, Arena& arena, bool assume_valid_utf8) {
  return parse_text(text, arena, assume_valid_utf8, true);
}

}  // namespace corv::json
