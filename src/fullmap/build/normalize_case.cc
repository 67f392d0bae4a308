// Lower-casing for emit_term: nearly every indexed text is ASCII, so that
// case is scanned a word at a time and copied only when it has upper case.

#include <climits>
#include <cstring>
#include <string>

#include <unicode/ustring.h>
#include <unicode/utypes.h>

#include "fullmap/build/normalize.h"

namespace corv::fullmap {
namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighBits = 0x8080808080808080ULL;

inline uint64_t load8(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

inline uint64_t load_tail(const char* p, size_t n) {
  uint64_t w = 0;
  std::memcpy(&w, p, n);
  return w;
}

// High bit set in every byte of `w` that is 'A'..'Z'. Exact only when all
// bytes are ASCII (no carries between lanes then).
inline uint64_t upper_case_lanes(uint64_t w) {
  const uint64_t at_least_a = w + kOnes * (0x80 - 'A');
  const uint64_t beyond_z = w + kOnes * (0x80 - 'Z' - 1);
  return at_least_a & ~beyond_z & kHighBits;
}

// 0x80 >> 2 == 0x20, the ASCII case bit.
inline uint64_t lower_lanes(uint64_t w) { return w | (upper_case_lanes(w) >> 2); }

struct Utf16Scratch {
  std::u16string source;
  std::u16string lowered;
};

// ICU's lengths are int32_t; a UTF-8 text this long cannot be converted in
// one call, so only its ASCII letters are lowered.
constexpr size_t kMaxUnicodeBytes = INT32_MAX / 4;

std::string_view lower_ascii_letters(std::string_view text, std::string& out) {
  out.assign(text.data(), text.size());
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
  }
  return out;
}

std::string_view lower_unicode(std::string_view text, std::string& out) {
  if (text.size() > kMaxUnicodeBytes) return lower_ascii_letters(text, out);
  thread_local Utf16Scratch scratch;
  Utf16Scratch& s = scratch;

  // UTF-16 never needs more units than UTF-8 has bytes.
  s.source.resize(text.size());
  UErrorCode status = U_ZERO_ERROR;
  int32_t source_len = 0;
  u_strFromUTF8WithSub(s.source.data(), static_cast<int32_t>(s.source.size()), &source_len,
                       text.data(), static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return lower_ascii_letters(text, out);

  // Full mappings can expand (up to three units per unit); size generously
  // and retry once with the exact length if that was still short.
  int32_t lowered_len = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt == 0) s.lowered.resize(static_cast<size_t>(source_len) + 16);
    status = U_ZERO_ERROR;
    // "" selects the root locale: no Turkish or Lithuanian tailoring.
    lowered_len = u_strToLower(s.lowered.data(), static_cast<int32_t>(s.lowered.size()),
                               s.source.data(), source_len, "", &status);
    if (status != U_BUFFER_OVERFLOW_ERROR) break;
    s.lowered.resize(static_cast<size_t>(lowered_len));
  }
  if (U_FAILURE(status)) return lower_ascii_letters(text, out);

  // At most three UTF-8 bytes per UTF-16 unit.
  out.resize(static_cast<size_t>(lowered_len) * 3);
  status = U_ZERO_ERROR;
  int32_t out_len = 0;
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &out_len, s.lowered.data(),
                     lowered_len, 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return lower_ascii_letters(text, out);
  out.resize(static_cast<size_t>(out_len));
  return out;
}

}  // namespace

std::string_view lower_case(std::string_view text, std::string& scratch) {
  const char* p = text.data();
  const size_t n = text.size();
  uint64_t upper = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const uint64_t w = load8(p + i);
    if (w & kHighBits) return lower_unicode(text, scratch);
    upper |= upper_case_lanes(w);
  }
  const size_t tail = n - i;
  const uint64_t last = tail ? load_tail(p + i, tail) : 0;
  if (last & kHighBits) return lower_unicode(text, scratch);
  upper |= upper_case_lanes(last);
  if (upper == 0) return text;

  scratch.resize(n);
  char* out = scratch.data();
  for (i = 0; i + 8 <= n; i += 8) {
    const uint64_t w = lower_lanes(load8(p + i));
    std::memcpy(out + i, &w, 8);
  }
  if (tail) {
    const uint64_t w = lower_lanes(last);
    std::memcpy(out + i, &w, tail);
  }
  return scratch;
}

}  // namespace corv::fullmap
