#include "fullmap/build/synonym_row.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "json/reader.h"

namespace corv::fullmap {
namespace {

enum Field : uint8_t { kCurie, kNames, kTypes, kTaxa, kPreferredName, kFieldCount, kIgnored };

// Main keys, used in "duplicate field" messages.
constexpr std::string_view kFieldKeys[kFieldCount] = {"curie", "names", "types", "taxa", "preferred_name"};

Field field_of(std::string_view key) {
  if (key == "curie" || key == "id") return kCurie;
  if (key == "names") return kNames;
  if (key == "types" || key == "categories") return kTypes;
  if (key == "taxa" || key == "taxon") return kTaxa;
  if (key == "preferred_name" || key == "name") return kPreferredName;
  return kIgnored;
}

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// "{message} at line {l} column {c}" for the position after `consumed`
// bytes of `text`, counted as the reader counts.
Error error_after(std::string_view text, size_t consumed, std::string_view message) {
  std::string_view before = text.substr(0, consumed);
  size_t line_start = before.rfind('\n');
  line_start = line_start == std::string_view::npos ? 0 : line_start + 1;
  size_t line = 1 + static_cast<size_t>(std::count(before.begin(), before.begin() + line_start, '\n'));
  std::string text_out(message);
  text_out += " at line " + std::to_string(line) + " column " + std::to_string(consumed - line_start);
  return Error::runtime(std::move(text_out));
}

class RowDecoder {
 public:
  RowDecoder(std::string_view text, SynonymRow& row) : text_(text), reader_(text), row_(row) {}

  Status decode() {
    row_.clear();
    switch (reader_.peek()) {
      case json::TokenKind::kObject: CORV_TRY(decode_object()); break;
      case json::TokenKind::kArray: CORV_TRY(decode_array()); break;
      default: return fail(reader_.invalid_type("struct SynonymRow"));
    }
    return reader_.finish();
  }

 private:
  Status decode_object() {
    CORV_TRY(reader_.begin_object());
    bool seen[kFieldCount] = {};
    std::string_view key;
    for (;;) {
      auto more = reader_.next_member(key, key_scratch_);
      if (!more) return fail(std::move(more.error()));
      if (!*more) return {};
      Field field = field_of(key);
      if (field == kIgnored) {
        CORV_TRY(reader_.skip_value());
        continue;
      }
      if (seen[field]) return fail(duplicate_error(field));
      seen[field] = true;
      CORV_TRY(read_field(field));
    }
  }

  Status decode_array() {
    CORV_TRY(reader_.begin_array());
    for (uint8_t field = 0; field < kFieldCount; ++field) {
      auto more = reader_.next_element();
      if (!more) return fail(std::move(more.error()));
      if (!*more) return {};
      CORV_TRY(read_field(static_cast<Field>(field)));
    }
    return close_full_array();
  }

  // After the fifth element only the closing bracket may follow.
  Status close_full_array() {
    size_t i = skip_space(reader_.offset());
    if (i < text_.size() && text_[i] == ',') {
      i = skip_space(i + 1);
      if (i < text_.size() && text_[i] == ']') return peek_error(i, "trailing comma");
      return peek_error(i, "trailing characters");
    }
    if (i == text_.size()) return peek_error(i, "EOF while parsing a list");
    if (text_[i] != ']') return peek_error(i, "trailing characters");
    auto more = reader_.next_element();
    if (!more) return fail(std::move(more.error()));
    return {};
  }

  Status read_field(Field field) {
    switch (field) {
      case kCurie: return read_optional_string(row_.has_curie, row_.curie);
      case kNames: return read_strings(row_.names);
      case kTypes: return read_strings(row_.types);
      case kTaxa: return read_strings(row_.taxa);
      case kPreferredName: return read_optional_string(row_.has_preferred_name, row_.preferred_name);
      default: return reader_.skip_value();
    }
  }

  Status read_optional_string(bool& has, std::string& out) {
    if (reader_.peek() == json::TokenKind::kNull) {
      has = false;
      return reader_.read_null();
    }
    auto text = reader_.read_string(value_scratch_);
    if (!text) return fail(std::move(text.error()));
    out.assign(*text);
    has = true;
    return {};
  }

  Status read_strings(StringList& out) {
    out.clear();
    CORV_TRY(reader_.begin_array());
    for (;;) {
      auto more = reader_.next_element();
      if (!more) return fail(std::move(more.error()));
      if (!*more) return {};
      auto text = reader_.read_string(value_scratch_);
      if (!text) return fail(std::move(text.error()));
      out.push_back(*text);
    }
  }

  // A repeated field is refused as soon as its key is read, before its
  // value: the position is after the key and the white space that follows.
  Error duplicate_error(Field field) const {
    return error_after(text_, skip_space(reader_.offset()), json::duplicate_field(kFieldKeys[field]));
  }

  size_t skip_space(size_t i) const {
    while (i < text_.size() && is_json_space(text_[i])) ++i;
    return i;
  }

  // Positioned at the byte looked at (1-based column), or at the end.
  std::unexpected<Error> peek_error(size_t i, std::string_view message) const {
    return fail(error_after(text_, std::min(i + 1, text_.size()), message));
  }

  std::string_view text_;
  json::Reader reader_;
  SynonymRow& row_;
  std::string key_scratch_;
  std::string value_scratch_;
};

}  // namespace

void SynonymRow::clear() {
  has_curie = false;
  curie.clear();
  names.clear();
  types.clear();
  taxa.clear();
  has_preferred_name = false;
  preferred_name.clear();
}

Status decode_synonym_row(std::string_view line, SynonymRow& row) { return RowDecoder(line, row).decode(); }

}  // namespace corv::fullmap
