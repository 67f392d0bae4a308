// Lower-casing for emit_term: nearly every indexed text is ASCII, so that
// case is scanned a word at a time and copied only when it has upper case.

#include <climits>
#include <cstring>
#include <string>

#include <unicode/casemap.h>
#include <unicode/utypes.h>

#include "fullmap/build/normalize.h"
#include "fullmap/build/normalize_swar.h"

namespace corv::fullmap {
namespace {

// High bit set in every lane of `w` that is 'A'..'Z'.
inline uint64_t upper_case_lanes(uint64_t w) { return swar::lanes_in(w, 'A', 'Z'); }

// 0x80 >> 2 == 0x20, the ASCII case bit.
inline uint64_t lower_lanes(uint64_t w) { return w | (upper_case_lanes(w) >> 2); }

// ICU's lengths are int32_t; a text too long for one call has only its
// ASCII letters lowered.
constexpr size_t kMaxUnicodeBytes = INT32_MAX / 2;

std::string_view lower_ascii_letters(std::string_view text, std::string& out) {
  out.assign(text.data(), text.size());
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
  }
  return out;
}

std::string_view lower_unicode(std::string_view text, std::string& out) {
  if (text.size() > kMaxUnicodeBytes) return lower_ascii_letters(text, out);
  // Lower-casing grows UTF-8 by at most half (U+0130 -> i U+0307); the retry
  // with the exact length is a safety net.
  size_t capacity = text.size() + text.size() / 2 + 8;
  for (int attempt = 0; attempt < 2; ++attempt) {
    out.resize(capacity);
    UErrorCode status = U_ZERO_ERROR;
    // "" selects the root locale: no Turkish or Lithuanian tailoring.
    const int32_t len = icu::CaseMap::utf8ToLower("", 0, text.data(), static_cast<int32_t>(text.size()), out.data(),
                                                  static_cast<int32_t>(out.size()), nullptr, status);
    if (U_SUCCESS(status)) {
      out.resize(static_cast<size_t>(len));
      return out;
    }
    if (status != U_BUFFER_OVERFLOW_ERROR) break;
    capacity = static_cast<size_t>(len);
  }
  return lower_ascii_letters(text, out);
}

}  // namespace

std::string_view lower_case(std::string_view text, std::string& scratch) {
  const char* p = text.data();
  const size_t n = text.size();
  if (n < 8) {
    if (n == 0) return text;
    const uint64_t w = swar::short_text_word(p, n, 'a');
    if (w & swar::kHigh) return lower_unicode(text, scratch);
    if (upper_case_lanes(w) == 0) return text;
    scratch.assign(p, n);
    for (char& c : scratch) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
    }
    return scratch;
  }

  // The last word overlaps the previous one instead of reading a tail.
  uint64_t upper = 0;
  for (size_t i = 0;; i += 8) {
    if (i + 8 > n) i = n - 8;
    const uint64_t w = swar::load8(p + i);
    if (w & swar::kHigh) return lower_unicode(text, scratch);
    upper |= upper_case_lanes(w);
    if (i + 8 == n) break;
  }
  if (upper == 0) return text;

  scratch.resize_and_overwrite(n, [&](char* out, size_t) {
    for (size_t i = 0;; i += 8) {
      if (i + 8 > n) i = n - 8;
      const uint64_t w = lower_lanes(swar::load8(p + i));
      std::memcpy(out + i, &w, 8);
      if (i + 8 == n) break;
    }
    return n;
  });
  return scratch;
}

}  // namespace corv::fullmap
