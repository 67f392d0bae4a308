#include "fullmap/build/normalize.h"

#include <array>
#include <bit>
#include <cstring>

#include "fullmap/build/normalize_swar.h"

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
    case 0xE1: return (p[1] == 0x9A && p[2] == 0x80) ? 3 : 0;
    case 0xE2:
      if (p[1] == 0x80) {
        const unsigned char c = p[2];
        return ((c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF) ? 3 : 0;
      }
      return (p[1] == 0x81 && p[2] == 0x9F) ? 3 : 0;
    case 0xE3: return (p[1] == 0x80 && p[2] == 0x80) ? 3 : 0;
    default: return 0;
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

// The word that load8 gives for these 8 bytes, on any byte order.
constexpr uint64_t word8(const char (&s)[9]) {
  std::array<char, 8> bytes{};
  for (size_t i = 0; i < 8; ++i) bytes[i] = s[i];
  return std::bit_cast<uint64_t>(bytes);
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
    const uint64_t w = swar::load8(p + i);
    if (w == kInchikey) return true;
    if (w == kUncharac && t.substr(i).starts_with(kUncharacterized)) return true;
    if (w == kHypothet && t.substr(i).starts_with(kHypothetical)) return true;
  }
  return false;
}

constexpr std::array<std::string_view, 12> kDeadWords = {
    "na",      "nan",     "none",     "null",     "result",     "symbol",
    "unknown", "p_value", "variable", "exposure", "expression", "not applicable",
};

bool is_dead_word(std::string_view t) {
  for (const std::string_view word : kDeadWords) {
    if (t == word) return true;
  }
  return false;
}

// What the acceptance rules need to know about a text, from one pass.
struct TextShape {
  bool has_break = false;       // a tab, LF or CR
  bool maybe_rejected = false;  // has the letters of some rejected substring
  bool all_digits = true;
  bool all_word_bytes = true;  // only a-z, 0-9 and '_'
};

enum ShapeBit : uint8_t {
  kBreakByte = 1,
  kNonDigit = 2,
  kNonWordByte = 4,
  // Letters that together mark a possible rejected substring: "inchikey"
  // has k and y, "hypothetical" p and y, "uncharacterized" z.
  kLetterK = 8,
  kLetterP = 16,
  kLetterY = 32,
  kLetterZ = 64,
};

constexpr std::array<uint8_t, 256> kShapeBits = [] {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    const bool digit = c >= '0' && c <= '9';
    const bool word = digit || (c >= 'a' && c <= 'z') || c == '_';
    t[c] = static_cast<uint8_t>((c == '\t' || c == '\n' || c == '\r' ? kBreakByte : 0) | (digit ? 0 : kNonDigit) |
                                (word ? 0 : kNonWordByte) | (c == 'k' ? kLetterK : 0) | (c == 'p' ? kLetterP : 0) |
                                (c == 'y' ? kLetterY : 0) | (c == 'z' ? kLetterZ : 0));
  }
  return t;
}();

TextShape shape_from_bits(uint8_t bits) {
  const bool maybe_rejected = (bits & kLetterZ) != 0 || ((bits & kLetterY) != 0 && (bits & (kLetterK | kLetterP)) != 0);
  return {(bits & kBreakByte) != 0, maybe_rejected, (bits & kNonDigit) == 0, (bits & kNonWordByte) == 0};
}

TextShape shape_of(std::string_view t) {
  const auto* p = reinterpret_cast<const unsigned char*>(t.data());
  const size_t n = t.size();
  // Four accumulators keep the table loads independent.
  uint8_t a = 0, b = 0, c = 0, d = 0;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    a |= kShapeBits[p[i]];
    b |= kShapeBits[p[i + 1]];
    c |= kShapeBits[p[i + 2]];
    d |= kShapeBits[p[i + 3]];
  }
  for (; i < n; ++i) a |= kShapeBits[p[i]];
  return shape_from_bits(a | b | c | d);
}

bool passes_token_qc(std::string_view t, const TextShape& shape) {
  return !t.empty() && !shape.has_break && !(shape.maybe_rejected && has_rejected_substring(t));
}

bool is_dead(std::string_view t, const TextShape& shape) { return t.empty() || shape.all_digits || is_dead_word(t); }

// Level-two material; everything else is dropped from the second form.
// A-Z is kept too (the form keeps ASCII letters) although lower-cased input
// never has it.
constexpr std::array<uint8_t, 256> kKeptInLevelTwo = [] {
  std::array<uint8_t, 256> t{};
  for (int c = 'a'; c <= 'z'; ++c) t[c] = 1;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = 1;
  for (int c = '0'; c <= '9'; ++c) t[c] = 1;
  t['_'] = 1;
  return t;
}();

// Fills `out` with the level-two form and returns that form's shape,
// gathered on the way instead of by a second pass.
TextShape build_level_two(std::string_view lowered, std::string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(lowered.data());
  const size_t n = lowered.size();
  uint8_t shape_bits = 0;
  out.resize_and_overwrite(n, [&](char* o, size_t) {
    // Locals, not the captures: every char store may alias them otherwise.
    size_t k = 0;
    uint8_t bits = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint8_t c = p[i];
      const uint8_t keep = kKeptInLevelTwo[c];
      o[k] = static_cast<char>(c);  // always written, kept only when wanted
      k += keep;
      bits |= kShapeBits[c] & static_cast<uint8_t>(-keep);
    }
    shape_bits = bits;
    return k;
  });
  return shape_from_bits(shape_bits);
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

bool token_qc(std::string_view text) { return passes_token_qc(text, shape_of(text)); }

bool is_dead_term(std::string_view text) { return is_dead(text, shape_of(text)); }

bool level_two(std::string_view lowered, std::string& out) {
  if (shape_of(lowered).all_word_bytes) return false;
  build_level_two(lowered, out);
  return true;
}

void emit_term(std::string_view term, uint32_t curie_id, uint8_t source_id, TermMap& map) {
  thread_local EmitScratch scratch;
  EmitScratch& s = scratch;

  const std::string_view lowered = lower_case(clean_slice(term), s.lowered);
  const TextShape shape = shape_of(lowered);
  if (!passes_token_qc(lowered, shape) || is_dead(lowered, shape)) return;

  bool keep_second = false;
  if (!shape.all_word_bytes) {
    const TextShape second = build_level_two(lowered, s.level_two);
    // Dropping a byte always makes the form differ; checked for clarity.
    keep_second = s.level_two != lowered && passes_token_qc(s.level_two, second) && !is_dead(s.level_two, second);
  }

  const Posting posting{curie_id, source_id};
  map.add(lowered, posting);
  if (keep_second) map.add(s.level_two, posting);
}

}  // namespace corv::fullmap
