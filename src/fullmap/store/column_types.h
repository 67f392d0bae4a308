// Typed tables over LMDB. A table is declared once as TableDef<Key, Value>
// and both its writer and its readers open it through that declaration; the
// file records each table's key and value types, and opening a table with
// other types fails.
//
// Keys:   uint8_t, uint16_t, uint32_t, uint64_t, or Text. Integer keys scan
//         in ascending numeric order: u32 and u64 tables are LMDB integer-key
//         tables (native byte order, compared as integers, which is cheaper
//         on the hot point-get path); u8 and u16 keys are stored big-endian
//         and compared bytewise. Files are therefore tied to little-endian
//         hosts, like the record encoding.
// Values: Text (UTF-8, checked when written and when read) or Bytes (opaque).
// Both Text and Bytes are handed in and out as std::string_view.
#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace corv::fullmap {

// Stored in the file: never renumber.
enum class ColumnType : uint8_t { kU8 = 1, kU16 = 2, kU32 = 3, kU64 = 4, kText = 5, kBytes = 6 };

std::string_view column_type_name(ColumnType type);

// Tags of the two string-like column types.
struct Text {};
struct Bytes {};

template <class T>
struct Column;

template <class T>
  requires std::same_as<T, uint8_t> || std::same_as<T, uint16_t> || std::same_as<T, uint32_t> ||
           std::same_as<T, uint64_t>
struct Column<T> {
  static constexpr ColumnType kType = sizeof(T) == 1   ? ColumnType::kU8
                                      : sizeof(T) == 2 ? ColumnType::kU16
                                      : sizeof(T) == 4 ? ColumnType::kU32
                                                       : ColumnType::kU64;
  using View = T;
};

template <>
struct Column<Text> {
  static constexpr ColumnType kType = ColumnType::kText;
  using View = std::string_view;
};

template <>
struct Column<Bytes> {
  static constexpr ColumnType kType = ColumnType::kBytes;
  using View = std::string_view;
};

template <class T>
concept KeyColumn = std::same_as<T, uint8_t> || std::same_as<T, uint16_t> || std::same_as<T, uint32_t> ||
                    std::same_as<T, uint64_t> || std::same_as<T, Text>;

template <class T>
concept ValueColumn = std::same_as<T, Text> || std::same_as<T, Bytes>;

// A named table with fixed key and value types.
template <KeyColumn K, ValueColumn V>
struct TableDef {
  std::string_view name;
};

namespace detail {

// Key types stored as LMDB integer keys.
template <class K>
inline constexpr bool kIntegerKey = std::same_as<K, uint32_t> || std::same_as<K, uint64_t>;
inline constexpr bool is_integer_key(ColumnType t) { return t == ColumnType::kU32 || t == ColumnType::kU64; }

// A key in its stored form: u8 and u16 big-endian, so that bytewise order is
// numeric order; u32 and u64 in native order for LMDB's integer keys.
template <KeyColumn K>
class EncodedKey {
 public:
  explicit EncodedKey(typename Column<K>::View key) {
    if constexpr (std::same_as<K, Text>) {
      bytes_ = key;
    } else {
      K stored = kIntegerKey<K> || std::endian::native == std::endian::big ? key : std::byteswap(key);
      std::memcpy(buf_, &stored, sizeof(K));
      bytes_ = std::string_view(buf_, sizeof(K));
    }
  }
  EncodedKey(const EncodedKey&) = delete;
  EncodedKey& operator=(const EncodedKey&) = delete;
  std::string_view bytes() const { return bytes_; }

 private:
  char buf_[8];
  std::string_view bytes_;
};

// Reads an integer key back; false when the stored key has the wrong width.
template <KeyColumn K>
bool decode_key(std::string_view bytes, typename Column<K>::View* out) {
  if constexpr (std::same_as<K, Text>) {
    *out = bytes;
    return true;
  } else {
    if (bytes.size() != sizeof(K)) return false;
    K stored;
    std::memcpy(&stored, bytes.data(), sizeof(K));
    *out = kIntegerKey<K> || std::endian::native == std::endian::big ? stored : std::byteswap(stored);
    return true;
  }
}

}  // namespace detail
}  // namespace corv::fullmap
