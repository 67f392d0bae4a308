// Name-based (version 3, MD5) UUIDs of value lists and JSON objects, as
// 36-character lower-case hyphenated text.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"

namespace corv::records {

// The version-3 UUID of (the nil-namespace UUID of `domain`, name), where
// name joins every part as "{byte length}:{bytes}".
std::string uuid_from_parts(std::string_view domain, std::span<const std::string> parts);

// The UUID of an object's members sorted by key (byte order): null, false
// and "" members are left out; true is "true", numbers and strings their
// text, arrays and objects their compact JSON. nullopt for a non-object.
std::optional<std::string> uuid_for_json_object(std::string_view domain, const json::Value& value);

// Keeps the domain's namespace so that a run over many records hashes the
// domain once.
class NameUuid {
 public:
  explicit NameUuid(std::string_view domain);
  static constexpr size_t kTextSize = 36;

  // UUID text of `name` (already in "{len}:{bytes}..." form) in this domain.
  std::string of_name(std::string_view name) const;
  void of_name(std::string_view name, char (&text)[kTextSize]) const;
  // One member's contribution to an object's name: key and value text.
  struct Part {
    std::string_view key;
    std::string_view text;
  };
  // UUID text of members given as parts, in any order (keys are unique);
  // sorts `parts` by key bytes.
  void of_parts(std::vector<Part>& parts, char (&text)[kTextSize]) const;

  // Same as uuid_for_json_object; `value` must be an object.
  std::string of_object(const json::Value& object) const;
  void of_object(const json::Value& object, char (&text)[kTextSize]) const;

 private:
  std::array<unsigned char, 16> namespace_;
};

}  // namespace corv::records
