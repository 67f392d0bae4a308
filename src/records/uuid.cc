#include "records/uuid.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <charconv>
#include <vector>

#include "records/canonical_json.h"

namespace corv::records {
namespace {

void append_part(std::string& name, std::string_view part) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, part.size());
  name.append(buf, r.ptr);
  name.push_back(':');
  name.append(part);
}

std::string uuid_text(const unsigned char* id) {
  char text[37];
  uuid_unparse_lower(id, text);
  return std::string(text, 36);
}

}  // namespace

NameUuid::NameUuid(std::string_view domain) {
  const uuid_t nil = {};
  uuid_generate_md5(namespace_.data(), nil, domain.data(), domain.size());
}

std::string NameUuid::of_name(std::string_view name) const {
  uuid_t id;
  uuid_generate_md5(id, namespace_.data(), name.data(), name.size());
  return uuid_text(id);
}

std::string NameUuid::of_object(const json::Value& object) const {
  auto members = object.members();
  // Per-thread buffers: one record after another reuses their memory.
  thread_local std::vector<const json::Member*> sorted;
  thread_local std::string name;
  thread_local std::string text;
  sorted.clear();
  name.clear();
  for (const json::Member& m : members) sorted.push_back(&m);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const json::Member* a, const json::Member* b) { return a->key < b->key; });
  for (const json::Member* m : sorted) {
    const json::Value& v = m->value;
    text.clear();
    switch (v.kind()) {
      case json::Kind::kNull:
        continue;
      case json::Kind::kBool:
        if (!v.as_bool()) continue;
        text = "true";
        break;
      case json::Kind::kString:
        if (v.as_string().empty()) continue;
        append_part(name, m->key);
        append_part(name, v.as_string());
        continue;
      case json::Kind::kNumber:
        append_number(v.as_number(), text);
        break;
      case json::Kind::kArray:
      case json::Kind::kObject:
        append_compact_json(v, text);
        break;
    }
    append_part(name, m->key);
    append_part(name, text);
  }
  return of_name(name);
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
