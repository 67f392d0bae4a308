// Class-file rows: decoding one line, then taking the row's key. Lines
// reach the decoder already checked as UTF-8, as the class-file reader
// checks them; other inputs are not part of the contract.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/utf8.h"
#include "fullmap/build/class_row.h"
#include "fuzz/fuzz_util.h"

namespace {

using corv::fullmap::ClassRow;

bool same_row(const ClassRow& a, const ClassRow& b) {
  return a.id == b.id && a.equivalent_identifiers == b.equivalent_identifiers;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  if (!corv::is_valid_utf8(line)) return -1;

  // One row reused across inputs, as a decoding task reuses it line after
  // line: nothing of an earlier row may survive into the next.
  static ClassRow reused;
  ClassRow fresh;
  auto decoded = corv::fullmap::decode_class_row(line, fresh);
  auto decoded_reused = corv::fullmap::decode_class_row(line, reused);
  FUZZ_CHECK(decoded.has_value() == decoded_reused.has_value());
  if (!decoded) {
    FUZZ_CHECK(corv::fuzz::ends_with_position(decoded.error().message));
    FUZZ_CHECK(decoded.error().message == decoded_reused.error().message);
    return 0;
  }
  FUZZ_CHECK(same_row(fresh, reused));
  if (fresh.id) FUZZ_CHECK(corv::is_valid_utf8(*fresh.id));
  for (const auto& id : fresh.equivalent_identifiers) {
    if (id) FUZZ_CHECK(corv::is_valid_utf8(*id));
  }

  const ClassRow before = fresh;
  std::string key;
  std::vector<std::string> ids;
  if (!corv::fullmap::take_class_row_key(fresh, key, ids)) {
    FUZZ_CHECK(!before.id);
    FUZZ_CHECK(before.equivalent_identifiers.empty() || !before.equivalent_identifiers.front());
    return 0;
  }
  if (before.id) {
    FUZZ_CHECK(key == *before.id);
  } else {
    FUZZ_CHECK(key == *before.equivalent_identifiers.front());
  }
  // Every identifier once, in the order first met.
  std::vector<std::string> expected;
  for (const auto& id : before.equivalent_identifiers) {
    if (!id) continue;
    bool seen = false;
    for (const auto& e : expected) seen = seen || e == *id;
    if (!seen) expected.push_back(*id);
  }
  FUZZ_CHECK(ids == expected);
  return 0;
}
