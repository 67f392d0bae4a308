#include "records/canonical_json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "json/string_scan.h"
#include "records/text_sink.h"
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

char* put_escape(unsigned char c, char* o) {
  *o++ = '\\';
  switch (c) {
    case '"': *o++ = '"'; break;
    case '\\': *o++ = '\\'; break;
    case '\b': *o++ = 'b'; break;
    case '\t': *o++ = 't'; break;
    case '\n': *o++ = 'n'; break;
    case '\f': *o++ = 'f'; break;
    case '\r': *o++ = 'r'; break;
    default:
      *o++ = 'u';
      *o++ = '0';
      *o++ = '0';
      *o++ = kHex[c >> 4];
      *o++ = kHex[c & 0xF];
  }
  return o;
}

void put_string(std::string_view s, Sink& sink) {
  if (s.empty()) {
    sink.put("\"\"");
    return;
  }
  // Worst case every byte becomes a six-byte escape.
  char* o = sink.reserve(s.size() * 6 + 2);
  *o++ = '"';
  const char* p = s.data();
  const char* end = p + s.size();
  const char* run = p;
  for (;;) {
    p = json::find_string_special(p, end);
    if (p == end) break;
    std::memcpy(o, run, static_cast<size_t>(p - run));
    o = put_escape(static_cast<unsigned char>(*p), o + (p - run));
    run = ++p;
  }
  std::memcpy(o, run, static_cast<size_t>(end - run));
  o += end - run;
  *o++ = '"';
  sink.commit(o);
}

void put_f64(double d, Sink& sink) {
  if (d == 0) {
    sink.put(std::signbit(d) ? std::string_view("-0.0") : std::string_view("0.0"));
    return;
  }
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const char* p = buf;
  // Longest layout: sign, "0.0000" and 17 digits, or 17 digits, ".0" and
  // padding to 16 integer digits, or an exponent form; 32 bytes cover all.
  char* o = sink.reserve(32);
  if (*p == '-') {
    *o++ = '-';
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
      *o++ = '0';
      *o++ = '.';
      for (int i = 0; i < -exp - 1; ++i) *o++ = '0';
      std::memcpy(o, digits, n);
      o += n;
    } else {
      size_t int_len = static_cast<size_t>(exp) + 1;
      if (n <= int_len) {
        std::memcpy(o, digits, n);
        o += n;
        for (size_t i = n; i < int_len; ++i) *o++ = '0';
        *o++ = '.';
        *o++ = '0';
      } else {
        std::memcpy(o, digits, int_len);
        o += int_len;
        *o++ = '.';
        std::memcpy(o, digits + int_len, n - int_len);
        o += n - int_len;
      }
    }
    sink.commit(o);
    return;
  }
  *o++ = digits[0];
  if (n > 1) {
    *o++ = '.';
    std::memcpy(o, digits + 1, n - 1);
    o += n - 1;
  }
  *o++ = 'e';
  *o++ = exp < 0 ? '-' : '+';
  auto er = std::to_chars(o, o + 8, exp < 0 ? -exp : exp);
  sink.commit(er.ptr);
}

void put_number(json::Number n, Sink& sink) {
  switch (n.kind) {
    case json::Number::Kind::kU64: {
      char* o = sink.reserve(24);
      sink.commit(std::to_chars(o, o + 24, n.u64).ptr);
      return;
    }
    case json::Number::Kind::kI64: {
      char* o = sink.reserve(24);
      sink.commit(std::to_chars(o, o + 24, n.i64).ptr);
      return;
    }
    case json::Number::Kind::kF64: put_f64(n.f64, sink); return;
  }
}

void put_value(const Value& value, Sink& sink) {
  switch (value.kind()) {
    case Kind::kNull: sink.put("null"); return;
    case Kind::kBool: sink.put(value.as_bool() ? std::string_view("true") : std::string_view("false")); return;
    case Kind::kNumber: put_number(value.as_number(), sink); return;
    case Kind::kString: put_string(value.as_string(), sink); return;
    case Kind::kArray: {
      sink.put('[');
      bool first = true;
      for (const Value& item : value.items()) {
        if (!first) sink.put(',');
        first = false;
        put_value(item, sink);
      }
      sink.put(']');
      return;
    }
    case Kind::kObject: {
      sink.put('{');
      bool first = true;
      for (const Member& m : value.members()) {
        if (!first) sink.put(',');
        first = false;
        put_string(m.key, sink);
        sink.put(':');
        put_value(m.value, sink);
      }
      sink.put('}');
      return;
    }
  }
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
  Sink sink(out);
  put_number(n, sink);
}

void append_compact_json(const Value& value, std::string& out) {
  Sink sink(out);
  put_value(value, sink);
}

std::string stable_json_bytes(const Value& value) {
  std::string out;
  out.reserve(128);
  append_compact_json(value, out);
  return out;
}

}  // namespace corv::records
