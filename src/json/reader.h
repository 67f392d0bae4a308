// Strict JSON pull reader over one in-memory text (usually one line).
//
// We keep our own reader rather than a general-purpose library because the
// stored formats and the error texts our callers see depend on exact parser
// behaviour: which numbers are u64, i64 or f64, how a repeated key resolves,
// the nesting limit, and messages such as
//   "invalid type: integer `42`, expected a string at line 1 column 9".
//
// Errors are corv::Error (kRuntime) whose message ends with
// " at line {line} column {column}" (1-based line; the column counts bytes).
// The position is computed only when an error is made, so the happy path
// pays nothing for it.
//
// The reader allocates nothing: strings without escapes come back as views
// into the input, escaped ones are decoded into a caller-owned scratch
// buffer, and skipped values are only scanned.
//
// Typical row decoder:
//
//   json::Reader r(line);
//   std::string key_buf, val_buf;
//   if (r.peek() != json::TokenKind::kObject) return fail(r.invalid_type("struct Row"));
//   CORV_TRY(r.begin_object());
//   std::string_view key;
//   for (;;) {
//     auto more = r.next_member(key, key_buf);    // consumes the key and ':'
//     if (!more) return fail(std::move(more.error()));
//     if (!*more) break;                          // '}' consumed
//     if (key == "id") {
//       if (have_id) return fail(r.error_here(json::duplicate_field("id")));
//       if (r.peek() == json::TokenKind::kNull) { CORV_TRY(r.read_null()); continue; }
//       auto s = r.read_string(val_buf);          // wrong type -> "invalid type: ..."
//       if (!s) return fail(std::move(s.error()));
//       id.assign(*s);
//     } else {
//       CORV_TRY(r.skip_value());
//     }
//   }
//   CORV_TRY(r.finish());                         // "trailing characters ..."
//
// Arrays follow the same shape with begin_array() / next_element().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/status.h"

namespace corv::json {

class Arena;
class Value;

// Nesting depth at which begin_object/begin_array/skip_value fail with
// "recursion limit exceeded": 127 levels are accepted, the 128th is not.
inline constexpr int kMaxDepth = 128;

// What the next value starts with, judged by its first byte only.
enum class TokenKind : uint8_t {
  kEnd,      // no more input (after white space)
  kNull,     // 'n'
  kTrue,     // 't'
  kFalse,    // 'f'
  kNumber,   // '-' or a digit
  kString,   // '"'
  kArray,    // '['
  kObject,   // '{'
  kInvalid,  // anything else; reading it fails with "expected value"
};

// A parsed number. An integer token without '-' that fits is kU64; one with
// '-' that fits and is not zero is kI64; everything else (fraction,
// exponent, integers beyond 64 bits, and "-0") is kF64. Never NaN or inf.
struct Number {
  enum class Kind : uint8_t { kU64, kI64, kF64 };
  Kind kind = Kind::kU64;
  union {
    uint64_t u64;
    int64_t i64;
    double f64;
  };
  Number() : u64(0) {}
  static Number from_u64(uint64_t v) {
    Number n;
    n.kind = Kind::kU64;
    n.u64 = v;
    return n;
  }
  static Number from_i64(int64_t v) {
    Number n;
    n.kind = Kind::kI64;
    n.i64 = v;
    return n;
  }
  static Number from_f64(double v) {
    Number n;
    n.kind = Kind::kF64;
    n.f64 = v;
    return n;
  }
};

// Texts of the errors row decoders raise themselves; pass them to
// Reader::error_here so they get the position suffix.
std::string missing_field(std::string_view field);    // "missing field `x`"
std::string duplicate_field(std::string_view field);  // "duplicate field `x`"
std::string unknown_variant_untagged(std::string_view enum_name);
//   "data did not match any variant of untagged enum EquivId"

class Reader {
 public:
  // `text` must outlive the reader and every view it hands out.
  // With `assume_valid_utf8` the caller vouches for the encoding (for
  // example a line already checked as a whole) and string contents are not
  // checked again.
  explicit Reader(std::string_view text, bool assume_valid_utf8 = false)
      : begin_(text.data()),
        pos_(text.data()),
        end_(text.data() + text.size()),
        assume_valid_utf8_(assume_valid_utf8) {}
  explicit Reader(const char* text, bool assume_valid_utf8 = false)
      : Reader(std::string_view(text), assume_valid_utf8) {}
  // The reader keeps views into its text: a temporary would dangle.
  Reader(std::string&&, bool = false) = delete;

  // Skips JSON white space (space, tab, CR, LF) and classifies the next
  // value. Does not consume the value.
  TokenKind peek() {
    if (pending_colon_) return peek_after_key();
    skip_ws();
    if (pos_ == end_) return TokenKind::kEnd;
    return kind_of(static_cast<unsigned char>(*pos_));
  }

  // Scalars. Each fails with the reader's syntax error for malformed input,
  // or with invalid_type(<expected>) when the next value is of another kind
  // ("a string", "a number", "a boolean", "null").
  Status read_null();
  Result<bool> read_bool();
  Result<Number> read_number();
  // Without escapes: a view into the input. With escapes: decoded into
  // `scratch` (cleared first) and a view of `scratch` is returned. Invalid
  // UTF-8 fails with "invalid unicode code point"; raw control characters,
  // bad escapes and lone surrogates fail as well.
  Result<std::string_view> read_string(std::string& scratch);

  // Objects. begin_object consumes '{' (or fails: invalid_type("a map"),
  // recursion limit). next_member returns true after consuming a key (the
  // key view follows read_string's rules, using `scratch`), false after
  // consuming the closing '}'. The ':' after the key is taken by the next
  // peek/read/skip, so an error_here raised straight after next_member
  // (a duplicate field) points just past the key. The caller must read or
  // skip the member's value before calling next_member again.
  Status begin_object();
  Result<bool> next_member(std::string_view& key, std::string& scratch);

  // Arrays. begin_array consumes '[' (or fails: invalid_type("a
  // sequence"), recursion limit). next_element returns true when another
  // element follows (not yet consumed; read or skip it), false after
  // consuming the closing ']'.
  Status begin_array();
  Result<bool> next_element();

  // Consumes one value of any kind without decoding it: strings are only
  // checked for control characters and escape syntax, numbers only for
  // syntax (an out-of-range exponent is accepted), as a typed decoder that
  // ignores unknown members does.
  Status skip_value();

  // Parses the next value into a tree allocated from `arena` (see
  // json/value.h). Objects keep a repeated key at its first position with
  // its last value.
  Result<Value> read_value(Arena& arena);

  // After the top-level value: only white space may remain, otherwise
  // "trailing characters" at the first extra byte.
  Status finish();

  // Error with `message` positioned at the bytes consumed so far: after a
  // value that was just read, that is the value's last byte. This is where
  // "duplicate field", "missing field" and untagged-enum errors belong.
  Error error_here(std::string_view message) const;
  // Error with `message` positioned at the next non-white-space byte.
  Error error_at_next(std::string_view message);
  // Consumes the next value when it is a scalar (a malformed one gives its
  // syntax error instead) and returns
  //   "invalid type: {what it is}, expected {expected}"
  // positioned after it; for '[' and '{' nothing is consumed ("sequence",
  // "map").
  Error invalid_type(std::string_view expected);

  // Byte offset of the read position (for diagnostics and tests).
  size_t offset() const { return static_cast<size_t>(pos_ - begin_); }
  int depth() const { return kMaxDepth - remaining_depth_; }

 private:
  friend class TreeBuilder;

  static TokenKind kind_of(unsigned char c);
  TokenKind peek_after_key();
  Status take_colon();
  void skip_ws() {
    while (pos_ != end_) {
      char c = *pos_;
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') break;
      ++pos_;
    }
  }
  Error error_at(const char* at, std::string_view message) const;
  Status parse_ident(const char* rest);
  Result<Number> parse_number();
  Status scan_number();
  Result<std::string_view> parse_string_body(std::string& scratch);
  Status scan_string_body();
  Status parse_escape(std::string& out);
  Status parse_unicode_escape(std::string& out);
  Result<uint16_t> hex4();
  Status enter_nested();
  void leave_nested() {
    ++remaining_depth_;
    first_ = false;
  }

  const char* begin_;
  const char* pos_;
  const char* end_;
  bool assume_valid_utf8_;
  bool first_ = true;           // no member/element read yet in the innermost container
  bool pending_colon_ = false;  // a key was read, its ':' not yet
  int remaining_depth_ = kMaxDepth;
};

}  // namespace corv::json
