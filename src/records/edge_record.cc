#include "records/edge_record.h"

#include <cstring>
#include <vector>

#include "records/canonical_json.h"

namespace corv::records {
namespace {

struct MemberText {
  const json::Member* member;
  size_t begin;  // of the value's compact JSON in the text buffer
  size_t end;
};

}  // namespace

void append_edge_record(const json::Value& object, const NameUuid& namer, std::string& out) {
  thread_local std::string texts;
  thread_local std::vector<MemberText> members;
  thread_local std::vector<NameUuid::Part> parts;
  texts.clear();
  members.clear();
  parts.clear();

  for (const json::Member& m : object.members()) {
    size_t begin = texts.size();
    append_compact_json(m.value, texts);
    members.push_back(MemberText{&m, begin, texts.size()});
  }
  for (const MemberText& t : members) {
    const json::Value& v = t.member->value;
    std::string_view text;
    switch (v.kind()) {
      case json::Kind::kNull:
        continue;
      case json::Kind::kBool:
        if (!v.as_bool()) continue;
        text = "true";
        break;
      case json::Kind::kString:
        if (v.as_string().empty()) continue;
        text = v.as_string();
        break;
      default:
        text = std::string_view(texts).substr(t.begin, t.end - t.begin);
    }
    parts.push_back(NameUuid::Part{t.member->key, text});
  }
  char uuid[NameUuid::kTextSize];
  namer.of_parts(parts, uuid);

  char quoted[NameUuid::kTextSize + 2];
  quoted[0] = '"';
  std::memcpy(quoted + 1, uuid, sizeof uuid);
  quoted[sizeof quoted - 1] = '"';
  std::string_view quoted_uuid(quoted, sizeof quoted);
  out.push_back('{');
  bool replaced = false;
  for (size_t i = 0; i < members.size(); ++i) {
    if (i != 0) out.push_back(',');
    const MemberText& t = members[i];
    append_compact_json(json::Value::string_view_of(t.member->key), out);
    out.push_back(':');
    if (t.member->key == "id") {
      out += quoted_uuid;
      replaced = true;
    } else {
      out.append(texts, t.begin, t.end - t.begin);
    }
  }
  if (!replaced) {
    if (!members.empty()) out.push_back(',');
    out += "\"id\":";
    out += quoted_uuid;
  }
  out.push_back('}');
}

}  // namespace corv::records
