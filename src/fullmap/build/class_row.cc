#include "fullmap/build/class_row.h"

#include <utility>

#include "absl/container/flat_hash_set.h"
#include "common/table_room.h"
#include "json/reader.h"

namespace corv::fullmap {
namespace {

using json::TokenKind;

constexpr std::string_view kIdField = "id";
constexpr std::string_view kIdAlias = "curie";
constexpr std::string_view kIdsField = "equivalent_identifiers";

// Consumes one value the way a decoder that buffers an untagged variant
// does: strings are decoded and numbers parsed, so a lone surrogate or an
// out-of-range number fails here as it would there.
Status consume_content(json::Reader& r, std::string& scratch) {
  switch (r.peek()) {
    case TokenKind::kString: {
      auto s = r.read_string(scratch);
      if (!s) return std::unexpected(std::move(s.error()));
      return {};
    }
    case TokenKind::kNumber: {
      auto n = r.read_number();
      if (!n) return std::unexpected(std::move(n.error()));
      return {};
    }
    case TokenKind::kObject: {
      CORV_TRY(r.begin_object());
      std::string key_scratch;
      std::string_view key;
      for (;;) {
        auto more = r.next_member(key, key_scratch);
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) return {};
        CORV_TRY(consume_content(r, scratch));
      }
    }
    case TokenKind::kArray: {
      CORV_TRY(r.begin_array());
      for (;;) {
        auto more = r.next_element();
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) return {};
        CORV_TRY(consume_content(r, scratch));
      }
    }
    default: return r.skip_value();
  }
}

// Reads an identifier slot that must be a string or null. Anything else is
// consumed and reported as a mismatch.
Status read_identifier_slot(json::Reader& r, std::optional<std::string>& id, bool& matched, std::string& scratch) {
  switch (r.peek()) {
    case TokenKind::kString: {
      auto s = r.read_string(scratch);
      if (!s) return std::unexpected(std::move(s.error()));
      id.emplace(*s);
      return {};
    }
    case TokenKind::kNull: id.reset(); return r.read_null();
    default: matched = false; return consume_content(r, scratch);
  }
}

Status read_equiv_id(json::Reader& r, std::optional<std::string>& id, std::string& key_scratch, std::string& scratch) {
  id.reset();
  bool matched = true;
  switch (r.peek()) {
    case TokenKind::kString: {
      auto s = r.read_string(scratch);
      if (!s) return std::unexpected(std::move(s.error()));
      id.emplace(*s);
      return {};
    }
    case TokenKind::kObject: {
      CORV_TRY(r.begin_object());
      bool seen = false;
      std::string_view key;
      for (;;) {
        auto more = r.next_member(key, key_scratch);
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) break;
        if (key == "identifier" || key == "curie" || key == "id") {
          if (seen) {
            matched = false;
            CORV_TRY(consume_content(r, scratch));
          } else {
            seen = true;
            CORV_TRY(read_identifier_slot(r, id, matched, scratch));
          }
        } else {
          CORV_TRY(consume_content(r, scratch));
        }
      }
      break;
    }
    case TokenKind::kArray: {
      CORV_TRY(r.begin_array());
      for (size_t n = 0;; ++n) {
        auto more = r.next_element();
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) break;
        if (n == 0) {
          CORV_TRY(read_identifier_slot(r, id, matched, scratch));
        } else {
          matched = false;
          CORV_TRY(consume_content(r, scratch));
        }
      }
      break;
    }
    case TokenKind::kNumber:
    case TokenKind::kTrue:
    case TokenKind::kFalse:
    case TokenKind::kNull:
      CORV_TRY(consume_content(r, scratch));
      matched = false;
      break;
    default: return consume_content(r, scratch);  // the syntax error
  }
  if (!matched) {
    id.reset();
    return std::unexpected(r.error_here(json::unknown_variant_untagged("EquivId")));
  }
  return {};
}

Status read_id(json::Reader& r, ClassRow& row, std::string& scratch) {
  if (r.peek() == TokenKind::kNull) {
    row.id.reset();
    return r.read_null();
  }
  auto s = r.read_string(scratch);
  if (!s) return std::unexpected(std::move(s.error()));
  row.id.emplace(*s);
  return {};
}

Status read_ids(json::Reader& r, ClassRow& row, std::string& key_scratch, std::string& scratch) {
  CORV_TRY(r.begin_array());
  row.equivalent_identifiers.clear();
  for (;;) {
    auto more = r.next_element();
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) return {};
    CORV_TRY(read_equiv_id(r, row.equivalent_identifiers.emplace_back(), key_scratch, scratch));
  }
}

}  // namespace

Status decode_class_row(std::string_view line, ClassRow& row) {
  row.id.reset();
  row.equivalent_identifiers.clear();
  json::Reader r(line, /*assume_valid_utf8=*/true);
  std::string key_scratch, inner_key_scratch, scratch;
  switch (r.peek()) {
    case TokenKind::kObject: {
      CORV_TRY(r.begin_object());
      bool have_id = false, have_ids = false;
      std::string_view key;
      for (;;) {
        auto more = r.next_member(key, key_scratch);
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) break;
        if (key == kIdField || key == kIdAlias) {
          if (have_id) return std::unexpected(r.error_here(json::duplicate_field(kIdField)));
          have_id = true;
          CORV_TRY(read_id(r, row, scratch));
        } else if (key == kIdsField) {
          if (have_ids) return std::unexpected(r.error_here(json::duplicate_field(kIdsField)));
          have_ids = true;
          CORV_TRY(read_ids(r, row, inner_key_scratch, scratch));
        } else {
          CORV_TRY(r.skip_value());
        }
      }
      break;
    }
    case TokenKind::kArray: {
      CORV_TRY(r.begin_array());
      for (size_t n = 0;; ++n) {
        auto more = r.next_element();
        if (!more) return std::unexpected(std::move(more.error()));
        if (!*more) break;
        if (n == 0) {
          CORV_TRY(read_id(r, row, scratch));
        } else if (n == 1) {
          CORV_TRY(read_ids(r, row, inner_key_scratch, scratch));
        } else {
          return std::unexpected(r.error_at_next("trailing characters"));
        }
      }
      break;
    }
    default: return std::unexpected(r.invalid_type("struct ClassRow"));
  }
  return r.finish();
}

bool take_class_row_key(ClassRow& row, std::string& key, std::vector<std::string>& ids) {
  auto& elements = row.equivalent_identifiers;
  if (row.id) {
    key = std::move(*row.id);
  } else {
    if (elements.empty() || !elements.front()) return false;
    key = *elements.front();  // copied: the first identifier stays in the list
  }
  ids.clear();
  // Rows rarely list more than a few dozen identifiers; a linear scan beats
  // hashing until they do.
  constexpr size_t kLinearLimit = 32;
  if (elements.size() <= kLinearLimit) {
    for (auto& element : elements) {
      if (!element) continue;
      bool seen = false;
      for (const std::string& taken : ids) {
        if (taken == *element) {
          seen = true;
          break;
        }
      }
      if (!seen) ids.push_back(std::move(*element));
    }
    return true;
  }
  auto seen = table_with_room<absl::flat_hash_set<std::string_view>>(elements.size());
  for (auto& element : elements) {
    if (element && seen.insert(std::string_view(*element)).second) ids.push_back(*element);
  }
  return true;
}

}  // namespace corv::fullmap
