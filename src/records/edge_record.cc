#include "records/edge_record.h"

#include <cstring>
#include <vector>

#include "records/canonical_json.h"

namespace corv::records {
namespace {

// Where a member's compact value text lies: in the output line, or (for an
// existing "id", whose old value is named but not written) in a side buffer.
struct ValueSpan {
  const json::Member* member;
  size_t begin;
  size_t end;
  bool in_line;
};

constexpr std::string_view kIdPlaceholder = "\"00000000-0000-0000-0000-000000000000\"";
static_assert(kIdPlaceholder.size() == NameUuid::kTextSize + 2);

}  // namespace

// The line is written once, in member order, with a fixed-size placeholder
// for the id (its value needs every member first); the UUID name then reads
// the member texts straight from the line, and the placeholder is patched.
void append_edge_record(const json::Value& object, const NameUuid& namer, std::string& out) {
  thread_local std::vector<ValueSpan> spans;
  thread_local std::vector<NameUuid::Part> parts;
  thread_local std::string old_id;
  spans.clear();
  parts.clear();
  old_id.clear();

  size_t placeholder_at = std::string::npos;
  bool first = true;
  out.push_back('{');
  for (const json::Member& m : object.members()) {
    if (!first) out.push_back(',');
    first = false;
    append_compact_json(json::Value::string_view_of(m.key), out);
    out.push_back(':');
    if (m.key == "id") {
      placeholder_at = out.size();
      out += kIdPlaceholder;
      append_compact_json(m.value, old_id);
      spans.push_back(ValueSpan{&m, 0, old_id.size(), false});
    } else {
      size_t begin = out.size();
      append_compact_json(m.value, out);
      spans.push_back(ValueSpan{&m, begin, out.size(), true});
    }
  }
  if (placeholder_at == std::string::npos) {
    if (!first) out.push_back(',');
    out += "\"id\":";
    placeholder_at = out.size();
    out += kIdPlaceholder;
  }
  out.push_back('}');

  for (const ValueSpan& s : spans) {
    const json::Value& v = s.member->value;
    std::string_view text;
    switch (v.kind()) {
      case json::Kind::kNull: continue;
      case json::Kind::kBool:
        if (!v.as_bool()) continue;
        text = "true";
        break;
      case json::Kind::kString:
        if (v.as_string().empty()) continue;
        text = v.as_string();
        break;
      default: text = std::string_view(s.in_line ? out : old_id).substr(s.begin, s.end - s.begin);
    }
    parts.push_back(NameUuid::Part{s.member->key, text});
  }
  char uuid[NameUuid::kTextSize];
  namer.of_parts(parts, uuid);
  std::memcpy(out.data() + placeholder_at + 1, uuid, sizeof uuid);
}

}  // namespace corv::records
