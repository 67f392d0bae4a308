// Stored values read back from the database: CURIE rows, source rows and
// term records. A value decoded from the front of the bytes must encode to
// exactly that front; anything else is an error, never a crash.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/utf8.h"
#include "fullmap/store/record_encoding.h"
#include "fuzz/fuzz_util.h"

namespace {

using namespace corv::fullmap;

bool starts_with(std::string_view bytes, std::string_view prefix) { return bytes.substr(0, prefix.size()) == prefix; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly `size` bytes on the heap, so a read past the value is caught.
  const std::string owned(reinterpret_cast<const char*>(data), size);
  const std::string_view bytes = owned;

  if (auto row = decode_curie_row(bytes)) {
    FUZZ_CHECK(corv::is_valid_utf8(row->local_id) && corv::is_valid_utf8(row->preferred_name));
    FUZZ_CHECK(starts_with(bytes, encode_curie_row(*row)));
  } else {
    FUZZ_CHECK(!row.error().message.empty());
  }

  if (auto name = decode_source_row(bytes)) {
    FUZZ_CHECK(corv::is_valid_utf8(*name));
    FUZZ_CHECK(starts_with(bytes, encode_source_row(*name)));
  } else {
    FUZZ_CHECK(!name.error().message.empty());
  }

  auto view = decode_term_record_view(bytes);
  auto record = decode_term_record(bytes);
  FUZZ_CHECK(view.has_value() == record.has_value());
  if (record) {
    FUZZ_CHECK(view->term == record->term && view->posting_count == record->postings.size());
    FUZZ_CHECK(corv::is_valid_utf8(record->term));
    for (size_t i = 0; i < record->postings.size(); ++i) FUZZ_CHECK(view->posting(i) == record->postings[i]);
    std::string again;
    encode_term_record<TermPosting>(record->term, record->postings, again);
    FUZZ_CHECK(starts_with(bytes, again));
  } else {
    FUZZ_CHECK(view.error().message == record.error().message);
  }
  return 0;
}
