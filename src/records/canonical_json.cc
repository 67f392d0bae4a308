#include "records/canonical_json.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "records/unicode_space.h"

namespace corv::records {
namespace {

using json::Kind;
using json::Member;
using json::Value;

bool ascii_iequals(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

bool is_null_like_text(std::string_view s) {
  if (s.empty()) return true;
  auto edge_is_plain = [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x80;
  };
  // Common case: nothing to trim and too long to be a null word.
  if (s.size() > 4 && edge_is_plain(s.front()) && edge_is_plain(s.back())) return false;
  std::string_view t = trim_unicode_space(s);
  return t.empty() || ascii_iequals(t, "null") || ascii_iequals(t, "none") || ascii_iequals(t, "nan") ||
         ascii_iequals(t, "na");
}

bool is_dropped(const Value& v) {
  switch (v.kind()) {
    case Kind::kNull: return true;
    case Kind::kString: return is_null_like_text(v.as_string());
    case Kind::kArray: return v.items().empty();
    case Kind::kObject: return v.members().empty();
    default: return false;
  }
}

Value strip_array_elements(const Value& array, json::Arena& arena) {
  auto items = array.items();
  size_t first_object = 0;
  while (first_object < items.size() && !items[first_object].is_object()) ++first_object;
  if (first_object == items.size()) return array;
  Value* out = arena.allocate_array<Value>(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    out[i] = items[i].is_object() ? strip_nulls(items[i], arena) : items[i];
  }
  return Value::adopt_array(out, items.size());
}

constexpr char kHex[] = "0123456789abcdef";

// True when some byte of `w` is '"', '\\' or below 0x20.
inline bool needs_escape(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  uint64_t q = w ^ (kOnes * '"');
  uint64_t b = w ^ (kOnes * '\\');
  return ((((q - kOnes) & ~q) | ((b - kOnes) & ~b) | ((w - kOnes * 0x20) & ~w)) & kHigh) != 0;
}

void append_string(std::string_view s, std::string& out) {
  out.push_back('"');
  const char* p = s.data();
  const char* end = p + s.size();
  const char* run = p;
  while (p != end) {
    if (end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      if (!needs_escape(w)) {
        p += 8;
        continue;
      }
    }
    auto c = static_cast<unsigned char>(*p);
    if (c != '"' && c != '\\' && c >= 0x20) {
      ++p;
      continue;
    }
    out.append(run, p);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default: {
        char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(esc, 6);
      }
    }
    run = ++p;
  }
  out.append(run, end);
  out.push_back('"');
}

void append_f64(double d, std::string& out) {
  if (d == 0) {
    out += std::signbit(d) ? "-0.0" : "0.0";
    return;
  }
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const char* p = buf;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  // "d[.ddd]e±XX": collect the significant digits and the exponent.
  char digits[20];
  size_t n = 0;
  while (*p != 'e') {
    if (*p != '.') digits[n++] = *p;
    ++p;
  }
  ++p;
  int exp = 0;
  bool neg_exp = *p == '-';
  ++p;
  std::from_chars(p, r.ptr, exp);
  if (neg_exp) exp = -exp;

  if (exp >= -5 && exp <= 15) {
    if (exp < 0) {
      out += "0.";
      out.append(static_cast<size_t>(-exp - 1), '0');
      out.append(digits, n);
    } else {
      size_t int_len = static_cast<size_t>(exp) + 1;
      if (n <= int_len) {
        out.append(digits, n);
        out.append(int_len - n, '0');
        out += ".0";
      } else {
        out.append(digits, int_len);
        out.push_back('.');
        out.append(digits + int_len, n - int_len);
      }
    }
    return;
  }
  out.push_back(digits[0]);
  if (n > 1) {
    out.push_back('.');
    out.append(digits + 1, n - 1);
  }
  out.push_back('e');
  out.push_back(exp < 0 ? '-' : '+');
  char ebuf[8];
  auto er = std::to_chars(ebuf, ebuf + sizeof ebuf, exp < 0 ? -exp : exp);
  out.append(ebuf, er.ptr);
}

}  // namespace

Value strip_nulls(const Value& value, json::Arena& arena) {
  if (!value.is_object()) return value;
  auto members = value.members();
  Member* out = arena.allocate_array<Member>(members.size());
  size_t kept = 0;
  for (const Member& m : members) {
    if (is_dropped(m.value)) continue;
    Value v = m.value;
    if (v.is_object()) {
      v = strip_nulls(v, arena);
    } else if (v.is_array()) {
      v = strip_array_elements(v, arena);
    }
    out[kept++] = Member{m.key, v};
  }
  return Value::adopt_object(out, kept);
}

void append_number(json::Number n, std::string& out) {
  char buf[24];
  switch (n.kind) {
    case json::Number::Kind::kU64: {
      auto r = std::to_chars(buf, buf + sizeof buf, n.u64);
      out.append(buf, r.ptr);
      return;
    }
    case json::Number::Kind::kI64: {
      auto r = std::to_chars(buf, buf + sizeof buf, n.i64);
      out.append(buf, r.ptr);
      return;
    }
    case json::Number::Kind::kF64:
      append_f64(n.f64, out);
      return;
  }
}

void append_compact_json(const Value& value, std::string& out) {
  switch (value.kind()) {
    case Kind::kNull: out += "null"; return;
    case Kind::kBool: out += value.as_bool() ? "true" : "false"; return;
    case Kind::kNumber: append_number(value.as_number(), out); return;
    case Kind::kString: append_string(value.as_string(), out); return;
    case Kind::kArray: {
      out.push_back('[');
      bool first = true;
      for (const Value& item : value.items()) {
        if (!first) out.push_back(',');
        first = false;
        append_compact_json(item, out);
      }
      out.push_back(']');
      return;
    }
    case Kind::kObject: {
      out.push_back('{');
      bool first = true;
      for (const Member& m : value.members()) {
        if (!first) out.push_back(',');
        first = false;
        append_string(m.key, out);
        out.push_back(':');
        append_compact_json(m.value, out);
      }
      out.push_back('}');
      return;
    }
  }
}

std::string stable_json_bytes(const Value& value) {
  std::string out;
  out.reserve(128);
  append_compact_json(value, out);
  return out;
}

}  // namespace corv::records
