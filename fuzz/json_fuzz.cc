// The JSON reader on arbitrary bytes, through both faces: a pull-cursor walk
// that decodes every scalar, and the value tree. They share one grammar, so
// they must agree on what is valid; the lenient skip must accept whatever
// the strict faces accept; every error must carry its position.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/utf8.h"
#include "fuzz/fuzz_util.h"
#include "json/reader.h"
#include "json/value.h"

namespace {

using corv::Status;
using corv::json::Reader;
using corv::json::TokenKind;

Status walk(Reader& r, std::string& scratch) {
  switch (r.peek()) {
    case TokenKind::kNull: return r.read_null();
    case TokenKind::kTrue:
    case TokenKind::kFalse: {
      auto b = r.read_bool();
      if (!b) return std::unexpected(std::move(b.error()));
      return {};
    }
    case TokenKind::kNumber: {
      auto n = r.read_number();
      if (!n) return std::unexpected(std::move(n.error()));
      if (n->kind == corv::json::Number::Kind::kF64) FUZZ_CHECK(std::isfinite(n->f64));
      if (n->kind == corv::json::Number::Kind::kI64) FUZZ_CHECK(n->i64 < 0);
      return {};
    }
    case TokenKind::kString: {
      auto s = r.read_string(scratch);
      if (!s) return std::unexpected(std::move(s.error()));
      FUZZ_CHECK(corv::is_valid_utf8(*s));
      return {};
    }
    case TokenKind::kArray: {
      CORV_TRY(r.begin_array());
      for (;;) {
        auto more = r.next_element();
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) return {};
        CORV_TRY(walk(r, scratch));
      }
    }
    case TokenKind::kObject: {
      CORV_TRY(r.begin_object());
      std::string key_scratch;
      for (;;) {
        std::string_view key;
        auto more = r.next_member(key, key_scratch);
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) return {};
        FUZZ_CHECK(corv::is_valid_utf8(key));
        CORV_TRY(walk(r, scratch));
      }
    }
    case TokenKind::kEnd:
    case TokenKind::kInvalid: {
      Status s = r.skip_value();
      FUZZ_CHECK(!s);
      return s;
    }
  }
  return {};
}

// Returns whether the text is one valid value; checks every error's form.
bool walk_all(std::string_view text) {
  Reader r(text);
  std::string scratch;
  Status s = walk(r, scratch);
  if (s) s = r.finish();
  if (!s) FUZZ_CHECK(corv::fuzz::ends_with_position(s.error().message));
  FUZZ_CHECK(r.depth() >= 0 && r.depth() <= corv::json::kMaxDepth);
  return s.has_value();
}

bool skip_all(std::string_view text) {
  Reader r(text);
  Status s = r.skip_value();
  if (s) s = r.finish();
  if (!s) FUZZ_CHECK(corv::fuzz::ends_with_position(s.error().message));
  return s.has_value();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly `size` bytes, so reads past the end are caught.
  std::string text(reinterpret_cast<const char*>(data), size);

  const bool walked = walk_all(text);
  const bool skipped = skip_all(text);

  corv::json::Arena arena;
  auto tree = corv::json::parse(text, arena);
  if (!tree) FUZZ_CHECK(corv::fuzz::ends_with_position(tree.error().message));
  FUZZ_CHECK(tree.has_value() == walked);
  if (walked) FUZZ_CHECK(skipped);

  corv::json::Arena borrow_arena;
  auto borrowed = corv::json::parse_borrowing(text, borrow_arena);
  FUZZ_CHECK(borrowed.has_value() == tree.has_value());
  if (tree) FUZZ_CHECK(*borrowed == *tree);
  if (!tree) FUZZ_CHECK(borrowed.error().message == tree.error().message);

  // A caller that vouches for valid UTF-8 must see the same results.
  if (corv::is_valid_utf8(text)) {
    corv::json::Arena trusted_arena;
    auto trusted = corv::json::parse(text, trusted_arena, /*assume_valid_utf8=*/true);
    FUZZ_CHECK(trusted.has_value() == tree.has_value());
    if (tree) FUZZ_CHECK(*trusted == *tree);
  }

  // Reusing an arena after reset must not disturb a fresh parse.
  arena.reset();
  auto again = corv::json::parse(text, arena);
  FUZZ_CHECK(again.has_value() == tree.has_value());
  if (again) FUZZ_CHECK(*again == *borrowed);
  return 0;
}
