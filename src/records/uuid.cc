#include "records/uuid.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

#include "records/canonical_json.h"
#include "records/text_sink.h"

namespace corv::records {
namespace {

void put_part(Sink& name, std::string_view part) {
  char* o = name.reserve(21 + part.size());
  o = std::to_chars(o, o + 20, part.size()).ptr;
  *o++ = ':';
  if (!part.empty()) std::memcpy(o, part.data(), part.size());
  name.commit(o + part.size());
}

void append_part(std::string& name, std::string_view part) {
  Sink sink(name);
  put_part(sink, part);
}

// Byte order of keys, with the first byte compared inline.
bool key_less(std::string_view a, std::string_view b) {
  if (!a.empty() && !b.empty() && a[0] != b[0]) {
    return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
  }
  return a < b;
}

void format_uuid(const unsigned char* id, char (&text)[NameUuid::kTextSize]) {
  static constexpr char kHex[] = "0123456789abcdef";
  char* p = text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = '-';
    *p++ = kHex[id[i] >> 4];
    *p++ = kHex[id[i] & 0xF];
  }
}

// Keys of one object are unique, so any sort gives the one byte order.
void sort_by_key(std::vector<NameUuid::Part>& parts) {
  auto less = [](const NameUuid::Part& a, const NameUuid::Part& b) { return key_less(a.key, b.key); };
  if (parts.size() > 24) {
    std::sort(parts.begin(), parts.end(), less);
    return;
  }
  for (size_t i = 1; i < parts.size(); ++i) {
    NameUuid::Part p = parts[i];
    size_t j = i;
    for (; j > 0 && less(p, parts[j - 1]); --j) parts[j] = parts[j - 1];
    parts[j] = p;
  }
}

}  // namespace

NameUuid::NameUuid(std::string_view domain) {
  const uuid_t nil = {};
  uuid_generate_md5(namespace_.data(), nil, domain.data(), domain.size());
}

void NameUuid::of_name(std::string_view name, char (&text)[kTextSize]) const {
  uuid_t id;
  uuid_generate_md5(id, namespace_.data(), name.data(), name.size());
  format_uuid(id, text);
}

std::string NameUuid::of_name(std::string_view name) const {
  char text[kTextSize];
  of_name(name, text);
  return std::string(text, kTextSize);
}

std::string NameUuid::of_object(const json::Value& object) const {
  char text[kTextSize];
  of_object(object, text);
  return std::string(text, kTextSize);
}

void NameUuid::of_parts(std::vector<Part>& parts, char (&uuid)[kTextSize]) const {
  thread_local std::string name;
  name.clear();
  sort_by_key(parts);
  {
    Sink out(name);
    for (const Part& p : parts) {
      put_part(out, p.key);
      put_part(out, p.text);
    }
  }
  of_name(name, uuid);
}

void NameUuid::of_object(const json::Value& object, char (&uuid)[kTextSize]) const {
  // Per-thread buffers: one record after another reuses their memory.
  thread_local std::vector<Part> parts;
  thread_local std::string texts;
  parts.clear();
  texts.clear();
  // Compact texts go to one buffer first; views into it are taken once it
  // no longer grows.
  thread_local std::vector<std::pair<size_t, size_t>> spans;
  spans.clear();
  for (const json::Member& m : object.members()) {
    const json::Value& v = m.value;
    switch (v.kind()) {
      case json::Kind::kNull: break;
      case json::Kind::kBool:
        if (v.as_bool()) parts.push_back(Part{m.key, "true"});
        break;
      case json::Kind::kString:
        if (!v.as_string().empty()) parts.push_back(Part{m.key, v.as_string()});
        break;
      default: {
        size_t begin = texts.size();
        append_compact_json(v, texts);
        spans.emplace_back(parts.size(), begin);
        parts.push_back(Part{m.key, {}});
        break;
      }
    }
  }
  for (size_t i = 0; i < spans.size(); ++i) {
    auto [index, begin] = spans[i];
    size_t end = i + 1 < spans.size() ? spans[i + 1].second : texts.size();
    parts[index].text = std::string_view(texts).substr(begin, end - begin);
  }
  of_parts(parts, uuid);
}

std::string uuid_from_parts(std::string_view domain, std::span<const std::string> parts) {
  std::string name;
  for (const std::string& part : parts) append_part(name, part);
  return NameUuid(domain).of_name(name);
}

std::optional<std::string> uuid_for_json_object(std::string_view domain, const json::Value& value) {
  if (!value.is_object()) return std::nullopt;
  return NameUuid(domain).of_object(value);
}

}  // namespace corv::records
