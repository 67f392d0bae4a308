#include "json/reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "common/utf8.h"
#include "json/string_scan.h"

namespace corv::json {
namespace {

constexpr std::string_view kEofValue = "EOF while parsing a value";
constexpr std::string_view kEofString = "EOF while parsing a string";
constexpr std::string_view kEofList = "EOF while parsing a list";
constexpr std::string_view kEofObject = "EOF while parsing an object";
constexpr std::string_view kInvalidNumber = "invalid number";
constexpr std::string_view kOutOfRange = "number out of range";
constexpr std::string_view kInvalidEscape = "invalid escape";
constexpr std::string_view kExpectedValue = "expected value";
constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, uint32_t cp) {
  char buf[4];
  size_t n;
  if (cp < 0x80) {
    buf[0] = static_cast<char>(cp);
    n = 1;
  } else if (cp < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (cp >> 6));
    buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 2;
  } else if (cp < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (cp >> 12));
    buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 3;
  } else {
    buf[0] = static_cast<char>(0xF0 | (cp >> 18));
    buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
    n = 4;
  }
  out.append(buf, n);
}

// A float in plain decimal with at least one fractional digit, as shown in
// type errors: 1e20 -> "100000000000000000000.0", 1e-7 -> "0.0000001".
std::string plain_float(double d) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(r.ptr - buf));
  std::string out;
  if (sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  size_t e_at = sci.find('e');
  int exp = 0;
  std::from_chars(sci.data() + e_at + 1 + (sci[e_at + 1] == '+' ? 1 : 0), sci.data() + sci.size(), exp);
  std::string digits;
  for (char c : sci.substr(0, e_at)) {
    if (c != '.') digits.push_back(c);
  }
  if (digits == "0") return out + "0.0";
  if (exp < 0) {
    out += "0.";
    out.append(static_cast<size_t>(-exp - 1), '0');
    out += digits;
  } else if (static_cast<size_t>(exp) + 1 >= digits.size()) {
    out += digits;
    out.append(static_cast<size_t>(exp) + 1 - digits.size(), '0');
    out += ".0";
  } else {
    out += digits.substr(0, static_cast<size_t>(exp) + 1);
    out += '.';
    out += digits.substr(static_cast<size_t>(exp) + 1);
  }
  return out;
}

// A string as shown in type errors: quoted, with quotes, backslashes and
// control characters escaped.
std::string debug_string(std::string_view s) {
  std::string out = "\"";
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case 0: out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[16];
          auto r = std::to_chars(buf, buf + sizeof buf, static_cast<unsigned>(c), 16);
          out += "\\u{";
          out.append(buf, r.ptr);
          out += '}';
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace

std::string missing_field(std::string_view field) { return "missing field `" + std::string(field) + "`"; }
std::string duplicate_field(std::string_view field) { return "duplicate field `" + std::string(field) + "`"; }
std::string unknown_variant_untagged(std::string_view enum_name) {
  return "data did not match any variant of untagged enum " + std::string(enum_name);
}

TokenKind Reader::kind_of(unsigned char c) {
  switch (c) {
    case 'n': return TokenKind::kNull;
    case 't': return TokenKind::kTrue;
    case 'f': return TokenKind::kFalse;
    case '"': return TokenKind::kString;
    case '[': return TokenKind::kArray;
    case '{': return TokenKind::kObject;
    case '-': return TokenKind::kNumber;
    default: return is_digit(static_cast<char>(c)) ? TokenKind::kNumber : TokenKind::kInvalid;
  }
}

Error Reader::error_at(const char* at, std::string_view message) const {
  size_t line = 1, column = 0;
  for (const char* p = begin_; p != at; ++p) {
    if (*p == '\n') {
      ++line;
      column = 0;
    } else {
      ++column;
    }
  }
  std::string text(message);
  text += " at line ";
  text += std::to_string(line);
  text += " column ";
  text += std::to_string(column);
  return Error::runtime(std::move(text));
}

Error Reader::error_here(std::string_view message) const { return error_at(pos_, message); }

Error Reader::error_at_next(std::string_view message) {
  skip_ws();
  return error_at(pos_ == end_ ? end_ : pos_ + 1, message);
}

TokenKind Reader::peek_after_key() {
  skip_ws();
  if (pos_ == end_ || *pos_ != ':') return TokenKind::kInvalid;
  ++pos_;
  pending_colon_ = false;
  return peek();
}

Status Reader::take_colon() {
  skip_ws();
  if (pos_ == end_) return fail(error_at(end_, kEofObject));
  if (*pos_ != ':') return fail(error_at(pos_ + 1, "expected `:`"));
  ++pos_;
  pending_colon_ = false;
  return {};
}

#define CORV_JSON_TAKE_COLON()                  \
  do {                                          \
    if (pending_colon_) CORV_TRY(take_colon()); \
  } while (0)

Status Reader::parse_ident(const char* rest) {
  for (; *rest != '\0'; ++rest) {
    if (pos_ == end_) return fail(error_at(pos_, kEofValue));
    char c = *pos_++;
    if (c != *rest) return fail(error_at(pos_, "expected ident"));
  }
  return {};
}

Status Reader::read_null() {
  CORV_JSON_TAKE_COLON();
  skip_ws();
  if (pos_ == end_) return fail(error_at(end_, kEofValue));
  if (*pos_ != 'n') return fail(invalid_type("null"));
  ++pos_;
  return parse_ident("ull");
}

Result<bool> Reader::read_bool() {
  CORV_JSON_TAKE_COLON();
  skip_ws();
  if (pos_ == end_) return fail(error_at(end_, kEofValue));
  if (*pos_ == 't') {
    ++pos_;
    CORV_TRY(parse_ident("rue"));
    return true;
  }
  if (*pos_ == 'f') {
    ++pos_;
    CORV_TRY(parse_ident("alse"));
    return false;
  }
  return fail(invalid_type("a boolean"));
}

Result<Number> Reader::read_number() {
  CORV_JSON_TAKE_COLON();
  skip_ws();
  if (pos_ == end_) return fail(error_at(end_, kEofValue));
  if (kind_of(static_cast<unsigned char>(*pos_)) != TokenKind::kNumber) {
    return fail(invalid_type("a number"));
  }
  return parse_number();
}

// Grammar and error positions follow the usual strict JSON number rules:
// one leading zero at most, digits required after '.' and after the
// exponent marker. Conversion is std::from_chars (correctly rounded).
Result<Number> Reader::parse_number() {
  const char* start = pos_;
  bool negative = false;
  if (*pos_ == '-') {
    negative = true;
    ++pos_;
  }
  if (pos_ == end_) return fail(error_at(pos_, kEofValue));
  const char* int_begin = pos_;
  char first = *pos_++;
  if (first == '0') {
    if (pos_ != end_ && is_digit(*pos_)) return fail(error_at(pos_ + 1, kInvalidNumber));
  } else if (first >= '1' && first <= '9') {
    while (pos_ != end_ && is_digit(*pos_)) ++pos_;
  } else {
    return fail(error_at(pos_, kInvalidNumber));
  }
  const char* int_end = pos_;
  bool is_float = false;
  const char* frac_begin = nullptr;
  const char* frac_end = nullptr;
  if (pos_ != end_ && *pos_ == '.') {
    ++pos_;
    frac_begin = pos_;
    while (pos_ != end_ && is_digit(*pos_)) ++pos_;
    frac_end = pos_;
    if (pos_ == frac_begin) {
      if (pos_ == end_) return fail(error_at(end_, kEofValue));
      return fail(error_at(pos_ + 1, kInvalidNumber));
    }
    is_float = true;
  }
  bool exp_negative = false;
  int64_t exp_value = 0;
  if (pos_ != end_ && (*pos_ == 'e' || *pos_ == 'E')) {
    ++pos_;
    if (pos_ != end_ && (*pos_ == '+' || *pos_ == '-')) {
      exp_negative = *pos_ == '-';
      ++pos_;
    }
    if (pos_ == end_) return fail(error_at(pos_, kEofValue));
    char c = *pos_++;
    if (!is_digit(c)) return fail(error_at(pos_, kInvalidNumber));
    exp_value = c - '0';
    bool mantissa_zero = true;
    for (const char* p = int_begin; p != int_end && mantissa_zero; ++p) mantissa_zero = *p == '0';
    for (const char* p = frac_begin; p != frac_end && mantissa_zero; ++p) mantissa_zero = *p == '0';
    while (pos_ != end_ && is_digit(*pos_)) {
      int digit = *pos_++ - '0';
      if (exp_value <= INT32_MAX) {
        exp_value = exp_value * 10 + digit;
        // An exponent beyond 32 bits: a non-zero mantissa with a positive
        // exponent can only be infinite; anything else is zero.
        if (exp_value > INT32_MAX && !mantissa_zero && !exp_negative) {
          return fail(error_at(pos_, kOutOfRange));
        }
      }
    }
    is_float = true;
  }

  if (!is_float) {
    uint64_t magnitude = 0;
    auto r = std::from_chars(int_begin, int_end, magnitude);
    if (r.ec == std::errc()) {
      if (!negative) return Number::from_u64(magnitude);
      if (magnitude == 0) return Number::from_f64(-0.0);
      if (magnitude <= (uint64_t{1} << 63)) {
        return Number::from_i64(static_cast<int64_t>(0 - magnitude));
      }
    }
  }
  double value = 0;
  auto r = std::from_chars(start, pos_, value);
  if (r.ec == std::errc::result_out_of_range) {
    // Decide between overflow and underflow from the decimal exponent of the
    // first significant digit.
    int64_t lead = 0;
    const char* p = int_begin;
    while (p != int_end && *p == '0') ++p;
    if (p != int_end) {
      lead = int_end - p - 1;
    } else {
      const char* q = frac_begin;
      while (q != frac_end && *q == '0') ++q;
      lead = -(q - frac_begin) - 1;
    }
    int64_t e = std::min<int64_t>(exp_value, int64_t{1} << 40);
    int64_t magnitude = lead + (exp_negative ? -e : e);
    if (magnitude >= 0) return fail(error_at(pos_, kOutOfRange));
    value = negative ? -0.0 : 0.0;
  } else if (r.ec != std::errc() || std::isinf(value)) {
    return fail(error_at(pos_, kOutOfRange));
  }
  return Number::from_f64(value);
}

// Syntax-only scan of a number, with the positions and messages a decoder
// gives for a value it ignores.
Status Reader::scan_number() {
  if (*pos_ == '-') ++pos_;
  char first = pos_ == end_ ? '\0' : *pos_++;
  if (first == '0') {
    if (pos_ != end_ && is_digit(*pos_)) return fail(error_at(pos_ + 1, kInvalidNumber));
  } else if (first >= '1' && first <= '9') {
    while (pos_ != end_ && is_digit(*pos_)) ++pos_;
  } else {
    return fail(error_at(pos_, kInvalidNumber));
  }
  if (pos_ != end_ && *pos_ == '.') {
    ++pos_;
    const char* digits = pos_;
    while (pos_ != end_ && is_digit(*pos_)) ++pos_;
    if (pos_ == digits) return fail(error_at(pos_ == end_ ? end_ : pos_ + 1, kInvalidNumber));
  }
  if (pos_ != end_ && (*pos_ == 'e' || *pos_ == 'E')) {
    ++pos_;
    if (pos_ != end_ && (*pos_ == '+' || *pos_ == '-')) ++pos_;
    char c = pos_ == end_ ? '\0' : *pos_++;
    if (!is_digit(c)) return fail(error_at(pos_, kInvalidNumber));
    while (pos_ != end_ && is_digit(*pos_)) ++pos_;
  }
  return {};
}

Result<uint16_t> Reader::hex4() {
  if (end_ - pos_ < 4) {
    pos_ = end_;
    return fail(error_at(end_, kEofString));
  }
  int a = hex_value(pos_[0]), b = hex_value(pos_[1]), c = hex_value(pos_[2]), d = hex_value(pos_[3]);
  pos_ += 4;
  if ((a | b | c | d) < 0) return fail(error_at(pos_, kInvalidEscape));
  return static_cast<uint16_t>((a << 12) | (b << 8) | (c << 4) | d);
}

Status Reader::parse_unicode_escape(std::string& out) {
  auto first = hex4();
  if (!first) return fail(std::move(first.error()));
  uint32_t n = *first;
  if (n >= 0xDC00 && n <= 0xDFFF) return fail(error_at(pos_, kLoneSurrogate));
  if (n < 0xD800 || n > 0xDBFF) {
    append_utf8(out, n);
    return {};
  }
  // A leading surrogate must be followed by an escaped trailing one.
  for (char expected : {'\\', 'u'}) {
    if (pos_ == end_) return fail(error_at(pos_, kEofString));
    if (*pos_++ != expected) return fail(error_at(pos_, "unexpected end of hex escape"));
  }
  auto second = hex4();
  if (!second) return fail(std::move(second.error()));
  uint32_t n2 = *second;
  if (n2 < 0xDC00 || n2 > 0xDFFF) return fail(error_at(pos_, kLoneSurrogate));
  append_utf8(out, (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000);
  return {};
}

Status Reader::parse_escape(std::string& out) {
  if (pos_ == end_) return fail(error_at(pos_, kEofString));
  char c = *pos_++;
  switch (c) {
    case '"': out.push_back('"'); break;
    case '\\': out.push_back('\\'); break;
    case '/': out.push_back('/'); break;
    case 'b': out.push_back('\b'); break;
    case 'f': out.push_back('\f'); break;
    case 'n': out.push_back('\n'); break;
    case 'r': out.push_back('\r'); break;
    case 't': out.push_back('\t'); break;
    case 'u': return parse_unicode_escape(out);
    default: return fail(error_at(pos_, kInvalidEscape));
  }
  return {};
}

// After the opening quote.
Result<std::string_view> Reader::parse_string_body(std::string& scratch) {
  const char* start = pos_;
  pos_ = find_string_special(pos_, end_);
  if (pos_ == end_) return fail(error_at(end_, kEofString));
  std::string_view result;
  if (*pos_ == '"') {
    result = std::string_view(start, static_cast<size_t>(pos_ - start));
    ++pos_;
  } else {
    scratch.clear();
    for (;;) {
      scratch.append(start, pos_);
      if (pos_ == end_) return fail(error_at(end_, kEofString));
      char c = *pos_;
      if (c == '"') {
        ++pos_;
        break;
      }
      if (c != '\\') {
        ++pos_;
        return fail(error_at(pos_, "control character (\\u0000-\\u001F) found while parsing a string"));
      }
      ++pos_;
      CORV_TRY(parse_escape(scratch));
      start = pos_;
      pos_ = find_string_special(pos_, end_);
    }
    result = scratch;
  }
  if (!assume_valid_utf8_ && !is_valid_utf8(result)) {
    return fail(error_at(pos_, "invalid unicode code point"));
  }
  return result;
}

Status Reader::scan_string_body() {
  for (;;) {
    pos_ = find_string_special(pos_, end_);
    if (pos_ == end_) return fail(error_at(end_, kEofString));
    char c = *pos_++;
    if (c == '"') return {};
    if (c != '\\') {
      return fail(error_at(pos_, "control character (\\u0000-\\u001F) found while parsing a string"));
    }
    if (pos_ == end_) return fail(error_at(pos_, kEofString));
    char e = *pos_++;
    switch (e) {
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't': break;
      case 'u': {
        auto h = hex4();
        if (!h) return fail(std::move(h.error()));
        break;
      }
      default: return fail(error_at(pos_, kInvalidEscape));
    }
  }
}

Result<std::string_view> Reader::read_string(std::string& scratch) {
  CORV_JSON_TAKE_COLON();
  skip_ws();
  if (pos_ == end_) return fail(error_at(end_, kEofValue));
  if (*pos_ != '"') return fail(invalid_type("a string"));
  ++pos_;
  return parse_string_body(scratch);
}

Status Reader::enter_nested() {
  if (--remaining_depth_ == 0) {
    ++remaining_depth_;
    return fail(error_at(pos_ + 1, "recursion limit exceeded"));
  }
  ++pos_;
  first_ = true;
  return {};
}

Status Reader::begin_object() {
  CORV_JSON_TAKE_COLON();
  skip_ws();
  if (pos_ == end_) return fail(error_at(end_, kEofValue));
  if (*pos_ != '{') return fail(invalid_type("a map"));
  return enter_nested();
}

Status Reader::begin_array() {
  CORV_JSON_TAKE_COLON();
  skip_ws();
  if (pos_ == end_) return fail(error_at(end_, kEofValue));
  if (*pos_ != '[') return fail(invalid_type("a sequence"));
  return enter_nested();
}

Result<bool> Reader::next_member(std::string_view& key, std::string& scratch) {
  skip_ws();
  if (pos_ == end_) return fail(error_at(end_, kEofObject));
  char c = *pos_;
  if (c == '}') {
    ++pos_;
    leave_nested();
    return false;
  }
  if (first_) {
    first_ = false;
    if (c != '"') return fail(error_at(pos_ + 1, "key must be a string"));
  } else if (c == ',') {
    ++pos_;
    skip_ws();
    if (pos_ == end_) return fail(error_at(end_, kEofValue));
    c = *pos_;
    if (c == '}') return fail(error_at(pos_ + 1, "trailing comma"));
    if (c != '"') return fail(error_at(pos_ + 1, "key must be a string"));
  } else {
    return fail(error_at(pos_ + 1, "expected `,` or `}`"));
  }
  ++pos_;
  auto k = parse_string_body(scratch);
  if (!k) return fail(std::move(k.error()));
  key = *k;
  pending_colon_ = true;
  return true;
}

Result<bool> Reader::next_element() {
  skip_ws();
  if (pos_ == end_) return fail(error_at(end_, kEofList));
  char c = *pos_;
  if (c == ']') {
    ++pos_;
    leave_nested();
    return false;
  }
  if (first_) {
    first_ = false;
    return true;
  }
  if (c != ',') return fail(error_at(pos_ + 1, "expected `,` or `]`"));
  ++pos_;
  skip_ws();
  if (pos_ == end_) return fail(error_at(end_, kEofValue));
  if (*pos_ == ']') return fail(error_at(pos_ + 1, "trailing comma"));
  return true;
}

Status Reader::skip_value() {
  CORV_JSON_TAKE_COLON();
  // Iterative, so that skipping never recurses; the depth limit still
  // applies. `frames` records what each open container is.
  const int base_depth = remaining_depth_;
  char frames[kMaxDepth];
  int open = 0;
  for (;;) {
    skip_ws();
    if (pos_ == end_) return fail(error_at(end_, kEofValue));
    char c = *pos_;
    switch (c) {
      case 'n':
        ++pos_;
        CORV_TRY(parse_ident("ull"));
        break;
      case 't':
        ++pos_;
        CORV_TRY(parse_ident("rue"));
        break;
      case 'f':
        ++pos_;
        CORV_TRY(parse_ident("alse"));
        break;
      case '"':
        ++pos_;
        CORV_TRY(scan_string_body());
        break;
      case '[':
      case '{':
        CORV_TRY(enter_nested());
        frames[open++] = c;
        break;
      default:
        if (c == '-' || is_digit(c)) {
          CORV_TRY(scan_number());
          break;
        }
        return fail(error_at(pos_ + 1, kExpectedValue));
    }
    // After a value, or after an opening bracket: find the next value or
    // close containers until one has more.
    bool just_opened = (c == '[' || c == '{');
    for (;;) {
      if (open == 0) {
        remaining_depth_ = base_depth;
        return {};
      }
      bool in_object = frames[open - 1] == '{';
      if (in_object) {
        // Keys are scanned, not decoded.
        skip_ws();
        if (pos_ == end_) return fail(error_at(end_, kEofObject));
        char d = *pos_;
        if (d == '}') {
          ++pos_;
          leave_nested();
          --open;
          just_opened = false;
          continue;
        }
        if (just_opened) {
          if (d != '"') return fail(error_at(pos_ + 1, "key must be a string"));
        } else if (d == ',') {
          ++pos_;
          skip_ws();
          if (pos_ == end_) return fail(error_at(end_, kEofValue));
          d = *pos_;
          if (d == '}') return fail(error_at(pos_ + 1, "trailing comma"));
          if (d != '"') return fail(error_at(pos_ + 1, "key must be a string"));
        } else {
          return fail(error_at(pos_ + 1, "expected `,` or `}`"));
        }
        ++pos_;
        CORV_TRY(scan_string_body());
        CORV_TRY(take_colon());
        break;
      }
      skip_ws();
      if (pos_ == end_) return fail(error_at(end_, kEofList));
      char d = *pos_;
      if (d == ']') {
        ++pos_;
        leave_nested();
        --open;
        just_opened = false;
        continue;
      }
      if (!just_opened) {
        if (d != ',') return fail(error_at(pos_ + 1, "expected `,` or `]`"));
        ++pos_;
        skip_ws();
        if (pos_ == end_) return fail(error_at(end_, kEofValue));
        if (*pos_ == ']') return fail(error_at(pos_ + 1, "trailing comma"));
      }
      break;
    }
  }
}

Status Reader::finish() {
  skip_ws();
  if (pos_ != end_) return fail(error_at(pos_ + 1, "trailing characters"));
  return {};
}

Error Reader::invalid_type(std::string_view expected) {
  if (pending_colon_) {
    auto colon = take_colon();
    if (!colon) return std::move(colon.error());
  }
  skip_ws();
  if (pos_ == end_) return error_at(end_, kExpectedValue);
  std::string unexpected;
  switch (*pos_) {
    case 'n': {
      ++pos_;
      auto s = parse_ident("ull");
      if (!s) return std::move(s.error());
      unexpected = "null";
      break;
    }
    case 't': {
      ++pos_;
      auto s = parse_ident("rue");
      if (!s) return std::move(s.error());
      unexpected = "boolean `true`";
      break;
    }
    case 'f': {
      ++pos_;
      auto s = parse_ident("alse");
      if (!s) return std::move(s.error());
      unexpected = "boolean `false`";
      break;
    }
    case '"': {
      ++pos_;
      std::string scratch;
      auto s = parse_string_body(scratch);
      if (!s) return std::move(s.error());
      unexpected = "string " + debug_string(*s);
      break;
    }
    case '[': unexpected = "sequence"; break;
    case '{': unexpected = "map"; break;
    default: {
      if (kind_of(static_cast<unsigned char>(*pos_)) != TokenKind::kNumber) {
        return error_at(pos_ + 1, kExpectedValue);
      }
      auto n = parse_number();
      if (!n) return std::move(n.error());
      switch (n->kind) {
        case Number::Kind::kU64: unexpected = "integer `" + std::to_string(n->u64) + "`"; break;
        case Number::Kind::kI64: unexpected = "integer `" + std::to_string(n->i64) + "`"; break;
        case Number::Kind::kF64: unexpected = "floating point `" + plain_float(n->f64) + "`"; break;
      }
    }
  }
  std::string message = "invalid type: " + unexpected + ", expected " + std::string(expected);
  return error_at(pos_, message);
}

}  // namespace corv::json
