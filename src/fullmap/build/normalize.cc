#include "fullmap/build/normalize.h"

#include <array>
#include <cstring>

#include "absl/strings/string_view.h"

namespace corv::fullmap {
namespace {

inline bool is_ascii_space(unsigned char c) { return c == 0x20 || (c >= 0x09 && c <= 0x0D); }

// Byte length of the white-space character encoded at p[0..3), 0 if none.
// Covers U+0085, U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F,
// U+205F and U+3000 besides ASCII.
inline size_t multibyte_space_len(const unsigned char* p, size_t n) {
  if (n >= 2 && p[0] == 0xC2) return (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
  if (n < 3) return 0;
  switch (p[0]) {
    case 0xE1:
      return (p[1] == 0x9A && p[2] == 0x80) ? 3 : 0;
    case 0xE2:
      if (p[1] == 0x80) {
        const unsigned char c = p[2];
        return ((c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF) ? 3 : 0;
      }
      return (p[1] == 0x81 && p[2] == 0x9F) ? 3 : 0;
    case 0xE3:
      return (p[1] == 0x80 && p[2] == 0x80) ? 3 : 0;
    default:
      return 0;
  }
}

size_t leading_space_len(std::string_view t) {
  const auto* p = reinterpret_cast<const unsigned char*>(t.data());
  if (is_ascii_space(p[0])) return 1;
  return p[0] >= 0xC2 ? multibyte_space_len(p, t.size()) : 0;
}

size_t trailing_space_len(std::string_view t) {
  const auto* p = reinterpret_cast<const unsigned char*>(t.data());
  const size_t n = t.size();
  const unsigned char last = p[n - 1];
  if (is_ascii_space(last)) return 1;
  if (last < 0x80) return 0;
  if (n >= 2 && p[n - 2] == 0xC2) return multibyte_space_len(p + n - 2, 2);
  return n >= 3 ? multibyte_space_len(p + n - 3, 3) : 0;
}

std::string_view trim_white_space(std::string_view t) {
  while (!t.empty()) {
    const size_t k = leading_space_len(t);
    if (k == 0) break;
    t.remove_prefix(k);
  }
  while (!t.empty()) {
    const size_t k = trailing_space_len(t);
    if (k == 0) break;
    t.remove_suffix(k);
  }
  return t;
}

inline bool is_quote(char c) { return c == '"' || c == '\''; }

inline uint64_t load8(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

constexpr uint64_t word8(const char (&s)[9]) {
  uint64_t w = 0;
  for (int i = 7; i >= 0; --i) w = (w << 8) | static_cast<unsigned char>(s[i]);
  return w;
}

// Each rejected substring is at least 8 bytes long, so an 8-byte window
// comparison finds every candidate position with one load.
constexpr uint64_t kInchikey = word8("inchikey");
constexpr uint64_t kUncharac = word8("uncharac");
constexpr uint64_t kHypothet = word8("hypothet");
constexpr std::string_view kUncharacterized = "uncharacterized";
constexpr std::string_view kHypothetical = "hypothetical";

bool has_rejected_substring(std::string_view t) {
  const size_t n = t.size();
  if (n < 8) return false;
  const char* p = t.data();
  for (size_t i = 0; i + 8 <= n; ++i) {
    const uint64_t w = load8(p + i);
    if (w == kInchikey) return true;
    if (w == kUncharac && t.substr(i).starts_with(kUncharacterized)) return true;
    if (w == kHypothet && t.substr(i).starts_with(kHypothetical)) return true;
  }
  return false;
}

constexpr std::array<std::string_view, 12> kDeadWords = {
    "na",       "nan",      "none",       "null",     "result",     "symbol",
    "unknown",  "p_value",  "variable",   "exposure", "expression", "not applicable",
};

// 1: a-z, 0-9, '_' (already level-two material); 2: A-Z (kept, but means the
// text was not lower-cased); 0: everything dropped from the level-two form.
constexpr std::array<uint8_t, 256> kWordByteClass = [] {
  std::array<uint8_t, 256> t{};
  for (int c = 'a'; c <= 'z'; ++c) t[c] = 1;
  for (int c = '0'; c <= '9'; ++c) t[c] = 1;
  t['_'] = 1;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = 2;
  return t;
}();

void append_posting(TermMap& map, std::string_view key, Posting posting) {
  // Heterogeneous try_emplace: one hash and probe, and the key string is
  // built only for a new term.
  auto it = map.try_emplace(absl::string_view(key.data(), key.size())).first;
  it->second.push_back(posting);
}

struct EmitScratch {
  std::string lowered;
  std::string level_two;
};

}  // namespace

std::string_view clean_slice(std::string_view text) {
  for (;;) {
    const size_t before = text.size();
    text = trim_white_space(text);
    if (text.size() >= 2 && is_quote(text.front())) {
      const char q = text.front();
      if (text[1] == q) {
        text.remove_prefix(1);
      } else if (text.back() == q) {
        text.remove_prefix(1);
        text.remove_suffix(1);
      }
    }
    if (text.size() == before) return text;
  }
}

bool token_qc(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c == '\t' || c == '\n' || c == '\r') return false;
  }
  return !has_rejected_substring(text);
}

bool is_dead_term(std::string_view text) {
  if (text.empty()) return true;
  bool all_digits = true;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      all_digits = false;
      break;
    }
  }
  if (all_digits) return true;
  if (text.size() < 2 || text.size() > 14) return false;
  for (const std::string_view word : kDeadWords) {
    if (text == word) return true;
  }
  return false;
}

bool level_two(std::string_view lowered, std::string& out) {
  size_t i = 0;
  const size_t n = lowered.size();
  while (i < n && kWordByteClass[static_cast<unsigned char>(lowered[i])] == 1) ++i;
  if (i == n) return false;
  out.assign(lowered.data(), i);
  for (; i < n; ++i) {
    const char c = lowered[i];
    if (kWordByteClass[static_cast<unsigned char>(c)] != 0) out.push_back(c);
  }
  return true;
}

void emit_term(std::string_view term, uint32_t curie_id, uint8_t source_id, TermMap& map) {
  thread_local EmitScratch scratch;
  EmitScratch& s = scratch;

  const std::string_view lowered = lower_case(clean_slice(term), s.lowered);
  if (!token_qc(lowered) || is_dead_term(lowered)) return;

  const bool keep_second = level_two(lowered, s.level_two) && s.level_two != lowered &&
                           token_qc(s.level_two) && !is_dead_term(s.level_two);

  const Posting posting{curie_id, source_id};
  append_posting(map, lowered, posting);
  if (keep_second) append_posting(map, s.level_two, posting);
}

}  // namespace corv::fullmap
