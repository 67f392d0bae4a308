#include "fullmap/store/record_encoding.h"

#include "common/utf8.h"

namespace corv::fullmap {
namespace {

// Reads fixed-width little-endian fields from the front of a byte string.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : rest_(bytes) {}

  template <class T>
  Result<T> fixed() {
    if (rest_.size() < sizeof(T)) return fail_runtime(std::string(kTruncated));
    T value;
    std::memcpy(&value, rest_.data(), sizeof(T));
    rest_.remove_prefix(sizeof(T));
    return value;
  }

  Result<std::string_view> text() {
    auto len = fixed<uint64_t>();
    if (!len) return std::unexpected(std::move(len.error()));
    if (rest_.size() < *len) return fail_runtime(std::string(kTruncated));
    const std::string_view out = rest_.substr(0, *len);
    rest_.remove_prefix(*len);
    if (auto bad = first_invalid_utf8(out)) {
      return fail_runtime("invalid record: string is not valid UTF-8 (bad byte at offset " + std::to_string(*bad) +
                          ")");
    }
    return out;
  }

  std::string_view rest() const { return rest_; }
  void skip(size_t n) { rest_.remove_prefix(n); }

  static constexpr std::string_view kTruncated = "invalid record: unexpected end of data";

 private:
  std::string_view rest_;
};

template <class T>
void put(std::string& out, T value) {
  char buf[sizeof(T)];
  std::memcpy(buf, &value, sizeof(T));
  out.append(buf, sizeof(T));
}

void put_string(std::string& out, std::string_view s) {
  put<uint64_t>(out, s.size());
  out.append(s);
}

}  // namespace

void encode_curie_row(const CurieRow& row, std::string& out) {
  out.reserve(out.size() + 24 + row.local_id.size() + row.preferred_name.size());
  put<uint16_t>(out, row.prefix_id);
  put_string(out, row.local_id);
  put_string(out, row.preferred_name);
  put<uint16_t>(out, row.category_id);
  put<int32_t>(out, row.taxon_id);
}

std::string encode_curie_row(const CurieRow& row) {
  std::string out;
  encode_curie_row(row, out);
  return out;
}

Result<CurieRow> decode_curie_row(std::string_view bytes) {
  Reader r(bytes);
  CurieRow row;
  auto prefix = r.fixed<uint16_t>();
  if (!prefix) return std::unexpected(std::move(prefix.error()));
  auto local = r.text();
  if (!local) return std::unexpected(std::move(local.error()));
  auto name = r.text();
  if (!name) return std::unexpected(std::move(name.error()));
  auto category = r.fixed<uint16_t>();
  if (!category) return std::unexpected(std::move(category.error()));
  auto taxon = r.fixed<int32_t>();
  if (!taxon) return std::unexpected(std::move(taxon.error()));
  row.prefix_id = *prefix;
  row.local_id = *local;
  row.preferred_name = *name;
  row.category_id = *category;
  row.taxon_id = *taxon;
  return row;
}

std::string encode_source_row(std::string_view name) {
  std::string out;
  put_string(out, name);
  return out;
}

Result<std::string> decode_source_row(std::string_view bytes) {
  Reader r(bytes);
  auto name = r.text();
  if (!name) return std::unexpected(std::move(name.error()));
  return std::string(*name);
}

Result<TermRecordView> decode_term_record_view(std::string_view bytes) {
  Reader r(bytes);
  auto term = r.text();
  if (!term) return std::unexpected(std::move(term.error()));
  auto count = r.fixed<uint64_t>();
  if (!count) return std::unexpected(std::move(count.error()));
  if (*count > r.rest().size() / kEncodedPostingSize) {
    return fail_runtime(std::string(Reader::kTruncated));
  }
  TermRecordView view;
  view.term = *term;
  view.posting_count = *count;
  view.posting_bytes = r.rest().data();
  return view;
}

std::vector<TermPosting> TermRecordView::postings() const {
  std::vector<TermPosting> out;
  out.reserve(posting_count);
  for (size_t i = 0; i < posting_count; ++i) out.push_back(posting(i));
  return out;
}

Result<TermRecord> decode_term_record(std::string_view bytes) {
  auto view = decode_term_record_view(bytes);
  if (!view) return std::unexpected(std::move(view.error()));
  return TermRecord{std::string(view->term), view->postings()};
}

}  // namespace corv::fullmap
