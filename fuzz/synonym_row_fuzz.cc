// Synonym-file rows on arbitrary bytes. Whole lines are checked as UTF-8
// by the producer; the decoder must still refuse, not crash on, anything.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/utf8.h"
#include "fullmap/build/synonym_row.h"
#include "fuzz/fuzz_util.h"

namespace {

using corv::fullmap::StringList;
using corv::fullmap::SynonymRow;

std::vector<std::string> items(const StringList& list) {
  std::vector<std::string> out(list.begin(), list.end());
  FUZZ_CHECK(out.size() == list.size());
  for (const auto& s : out) FUZZ_CHECK(corv::is_valid_utf8(s));
  return out;
}

bool same_row(const SynonymRow& a, const SynonymRow& b) {
  return a.has_curie == b.has_curie && a.curie == b.curie && items(a.names) == items(b.names) &&
         items(a.types) == items(b.types) && items(a.taxa) == items(b.taxa) &&
         a.has_preferred_name == b.has_preferred_name && a.preferred_name == b.preferred_name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);

  // A worker decodes row after row into one SynonymRow.
  static SynonymRow reused;
  SynonymRow fresh;
  auto decoded = corv::fullmap::decode_synonym_row(line, fresh);
  auto decoded_reused = corv::fullmap::decode_synonym_row(line, reused);
  FUZZ_CHECK(decoded.has_value() == decoded_reused.has_value());
  if (!decoded) {
    FUZZ_CHECK(corv::fuzz::ends_with_position(decoded.error().message));
    FUZZ_CHECK(decoded.error().message == decoded_reused.error().message);
    return 0;
  }
  FUZZ_CHECK(same_row(fresh, reused));
  if (!fresh.has_curie) FUZZ_CHECK(fresh.curie.empty());
  if (!fresh.has_preferred_name) FUZZ_CHECK(fresh.preferred_name.empty());
  FUZZ_CHECK(corv::is_valid_utf8(fresh.curie));
  FUZZ_CHECK(corv::is_valid_utf8(fresh.preferred_name));
  return 0;
}
