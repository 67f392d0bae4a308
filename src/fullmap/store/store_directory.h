// Internal: the table that makes an LMDB file a file of this store. It maps
// "format" to the store's format version and "table:{name}" to the table's
// key and value column types (two bytes). A file without it, or with another
// version, is not ours to read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fullmap/store/column_types.h"

namespace corv::fullmap::directory {

inline constexpr const char* kTableName = "corv.store";
inline constexpr std::string_view kFormatKey = "format";
inline constexpr std::string_view kFormatVersion = "1";
inline constexpr std::string_view kTablePrefix = "table:";

// Named LMDB databases a file may hold, the directory included.
inline constexpr unsigned kMaxTables = 64;

inline std::string table_key(std::string_view name) { return std::string(kTablePrefix) + std::string(name); }

inline std::string encode_types(ColumnType key, ColumnType value) {
  return {static_cast<char>(key), static_cast<char>(value)};
}

inline std::optional<std::pair<ColumnType, ColumnType>> decode_types(std::string_view bytes) {
  if (bytes.size() != 2) return std::nullopt;
  const auto valid = [](uint8_t c) { return c >= 1 && c <= 6; };
  const auto k = static_cast<uint8_t>(bytes[0]);
  const auto v = static_cast<uint8_t>(bytes[1]);
  if (!valid(k) || !valid(v)) return std::nullopt;
  return std::pair{static_cast<ColumnType>(k), static_cast<ColumnType>(v)};
}

inline std::string type_mismatch(std::string_view name, ColumnType stored_key, ColumnType stored_value, ColumnType key,
                                 ColumnType value) {
  return "table \"" + std::string(name) + "\" has " + std::string(column_type_name(stored_key)) + " keys and " +
         std::string(column_type_name(stored_value)) + " values, not " + std::string(column_type_name(key)) +
         " keys and " + std::string(column_type_name(value)) + " values";
}

}  // namespace corv::fullmap::directory
