#include "fullmap/store/column_types.h"

namespace corv::fullmap {

std::string_view column_type_name(ColumnType type) {
  switch (type) {
    case ColumnType::kU8: return "u8";
    case ColumnType::kU16: return "u16";
    case ColumnType::kU32: return "u32";
    case ColumnType::kU64: return "u64";
    case ColumnType::kText: return "text";
    case ColumnType::kBytes: return "bytes";
  }
  return "unknown";
}

}  // namespace corv::fullmap
