// Values the program encodes itself: fixed-width little-endian integers,
// strings and sequences prefixed by a u64 LE length, structures as their
// fields in order. A decoder reads one value from the front of its input
// and ignores what follows; input that ends inside the value, and strings
// that are not UTF-8, are errors.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"

namespace corv::fullmap {

static_assert(std::endian::native == std::endian::little, "record encoding assumes a little-endian host");

// The stored row of one CURIE ("curies" value).
struct CurieRow {
  uint16_t prefix_id = 0;
  std::string local_id;
  std::string preferred_name;
  uint16_t category_id = 0;
  int32_t taxon_id = 0;
  friend bool operator==(const CurieRow&, const CurieRow&) = default;
};

// Appends the encoding of `row` to `out` (24 bytes plus the two strings).
void encode_curie_row(const CurieRow& row, std::string& out);
std::string encode_curie_row(const CurieRow& row);
Result<CurieRow> decode_curie_row(std::string_view bytes);

// A "sources" value: the source name as one encoded string.
std::string encode_source_row(std::string_view name);
Result<std::string> decode_source_row(std::string_view bytes);

// One (CURIE id, source id) pair of a term record.
struct TermPosting {
  uint32_t curie_id = 0;
  uint8_t source_id = 0;
  friend auto operator<=>(const TermPosting&, const TermPosting&) = default;
};

inline constexpr size_t kEncodedPostingSize = 5;

// Appends a term record ("records" value) to `out`: the term, the posting
// count and each posting as u32 LE + u8. Postings are written as given; the
// caller sorts and de-duplicates them. Any type with `curie_id` and
// `source_id` members will do.
template <class P>
void encode_term_record(std::string_view term, std::span<const P> postings, std::string& out) {
  const size_t start = out.size();
  out.resize(start + 16 + term.size() + kEncodedPostingSize * postings.size());
  char* p = out.data() + start;
  const uint64_t term_len = term.size();
  const uint64_t count = postings.size();
  std::memcpy(p, &term_len, 8);
  std::memcpy(p + 8, term.data(), term.size());
  p += 8 + term.size();
  std::memcpy(p, &count, 8);
  p += 8;
  for (const P& posting : postings) {
    const uint32_t id = posting.curie_id;
    std::memcpy(p, &id, 4);
    p[4] = static_cast<char>(posting.source_id);
    p += kEncodedPostingSize;
  }
}

// A decoded term record that still points into the stored bytes: compare the
// term first, decode the postings only on a match.
struct TermRecordView {
  std::string_view term;
  uint64_t posting_count = 0;
  const char* posting_bytes = nullptr;  // posting_count * 5 bytes

  TermPosting posting(size_t i) const {
    TermPosting out;
    std::memcpy(&out.curie_id, posting_bytes + i * kEncodedPostingSize, 4);
    out.source_id = static_cast<uint8_t>(posting_bytes[i * kEncodedPostingSize + 4]);
    return out;
  }
  std::vector<TermPosting> postings() const;
};

Result<TermRecordView> decode_term_record_view(std::string_view bytes);

struct TermRecord {
  std::string term;
  std::vector<TermPosting> postings;
};
Result<TermRecord> decode_term_record(std::string_view bytes);

}  // namespace corv::fullmap
