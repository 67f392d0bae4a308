#include "fullmap/build/normalize.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace corv::fullmap {
namespace {

// key -> number of postings recorded under it, in key order.
std::map<std::string, size_t> keys_of(const TermMap& map) {
  std::map<std::string, size_t> out;
  map.for_each([&](const TermMap::Entry& e) { out[std::string(e.term())] = map.postings(e.term()).size(); });
  return out;
}

std::map<std::string, size_t> emit_one(std::string_view term) {
  TermMap map;
  emit_term(term, 7, 3, map);
  return keys_of(map);
}

struct EmitCase {
  std::string term;
  std::vector<std::string> keys;
};

TEST(EmitTerm, RecordsTheLowerCasedTermAndItsLevelTwoForm) {
  const std::vector<EmitCase> cases = {
      {"  Aspirin ", {"aspirin"}},
      {"'Heart attack'", {"heart attack", "heartattack"}},
      {"\"Heart attack\"", {"heart attack", "heartattack"}},
      {"IL-6", {"il-6", "il6"}},
      {"Type 2 Diabetes", {"type 2 diabetes", "type2diabetes"}},
      {"HGNC:1100", {"hgnc:1100", "hgnc1100"}},
      {"gene_symbol", {"gene_symbol"}},
      {"Café au lait", {"café au lait", "cafaulait"}},
      {"''quoted''", {"quoted'", "quoted"}},
      {"N/A", {"n/a"}},
      {"1.5", {"1.5"}},
      {"p-value", {"p-value", "pvalue"}},
      {"P_VALUE", {}},
      {"NONE", {}},
      {"12345", {}},
      {"Hypothetical protein", {}},
      {"a\tb", {}},
      {"a\nb", {}},
      {"a\rb", {}},
      {" \t\r\n ", {}},
      {"''", {"'"}},
      {"'''", {"'"}},
      {"'a'", {"a"}},
      {"'a", {"'a", "a"}},
      {"a'", {"a'", "a"}},
      {"heart  attack", {"heart  attack", "heartattack"}},
      {"ÉCOLE", {"école", "cole"}},
      {"Not Applicable", {}},
      {"not  applicable", {"not  applicable", "notapplicable"}},
      {"Null", {}},
      {"EXPRESSION", {}},
      {"null value", {"null value", "nullvalue"}},
      // The level-two form is checked on its own: joined words can be refused.
      {"InChI-Key", {"inchi-key"}},
      {"N.A.", {"n.a."}},
      {"12-34", {"12-34"}},
      // Unicode white space around the term; inside it stays in the first key.
      {"\u00a0\u3000Aspirin\u2009\u0085", {"aspirin"}},
      {"heart\u00a0attack", {"heart\u00a0attack", "heartattack"}},
      // Final sigma, and U+0130 lower-casing to i + U+0307.
      {"ΟΔΟΣ", {"\u03bf\u03b4\u03bf\u03c2"}},
      {"\u0130stanbul", {"i\u0307stanbul", "istanbul"}},
  };
  for (const EmitCase& c : cases) {
    std::map<std::string, size_t> expected;
    for (const std::string& key : c.keys) expected[key] = 1;
    EXPECT_EQ(emit_one(c.term), expected) << "term «" << c.term << "»";
  }
}

TEST(EmitTerm, KeepsEveryPostingInEmissionOrder) {
  TermMap map;
  emit_term("IL-6", 1, 0, map);
  emit_term("IL 6", 2, 5, map);
  emit_term("il-6", 1, 0, map);
  EXPECT_EQ(map.postings("il-6"), (std::vector<Posting>{{1, 0}, {1, 0}}));
  EXPECT_EQ(map.postings("il 6"), (std::vector<Posting>{{2, 5}}));
  EXPECT_EQ(map.postings("il6"), (std::vector<Posting>{{1, 0}, {2, 5}, {1, 0}}));
  EXPECT_EQ(map.size(), 3u);
}

TEST(EmitTerm, CarriesFullWidthIds) {
  TermMap map;
  emit_term("x", 0xFFFFFFFFu, 255, map);
  EXPECT_EQ(map.postings("x"), (std::vector<Posting>{{0xFFFFFFFFu, 255}}));
}

TEST(CleanSlice, StripsWhiteSpaceAndQuotesRepeatedly) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"  'Heart attack'  ", "Heart attack"},
      {"' 'x' '", "x"},
      {"''abc''", "abc'"},
      {"\"\"abc\"\"", "abc\""},
      {"'", "'"},
      {"'abc", "'abc"},
      {"'abc\"", "'abc\""},
      {"\"abc'", "\"abc'"},
      {"\" 'x' \"", "x"},
      {"", ""},
      {"\u2000\u200ax\u2028\u2029\u202f\u205f\u1680", "x"},
      {"\u000b\u000cx\u0085", "x"},
      // Neighbours of white-space code points that are not white space.
      {"\u200bx\u200b", "\u200bx\u200b"},
      {"\u2010x\u00a9", "\u2010x\u00a9"},
      {"\u180ex\u3001", "\u180ex\u3001"},
  };
  for (const auto& [in, want] : cases) {
    const std::string_view got = clean_slice(in);
    EXPECT_EQ(got, want) << "input «" << in << "»";
    // A sub-range of the input, never a copy.
    if (!got.empty()) {
      EXPECT_GE(got.data(), in.data());
      EXPECT_LE(got.data() + got.size(), in.data() + in.size());
    }
  }
}

TEST(LowerCase, AsciiMapsOnlyLettersAndCopiesNothingWithoutUpperCase) {
  std::string all_ascii;
  for (int c = 1; c < 128; ++c) all_ascii.push_back(static_cast<char>(c));
  std::string want = all_ascii;
  for (char& c : want) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  std::string scratch;
  // Every offset, so each byte is seen in every lane and in the tail.
  for (size_t start = 0; start < 16; ++start) {
    EXPECT_EQ(lower_case(std::string_view(all_ascii).substr(start), scratch), std::string_view(want).substr(start));
  }

  // Short texts take a different load path: every length, every position.
  for (size_t len = 1; len <= 17; ++len) {
    for (size_t pos = 0; pos < len; ++pos) {
      std::string upper(len, 'a');
      upper[pos] = 'Q';
      std::string want_upper(len, 'a');
      want_upper[pos] = 'q';
      EXPECT_EQ(lower_case(upper, scratch), want_upper) << upper;

      std::string accented(len, 'a');
      accented.replace(pos, 1, "\u00c9");
      std::string want_accented(len, 'a');
      want_accented.replace(pos, 1, "\u00e9");
      EXPECT_EQ(lower_case(accented, scratch), want_accented) << accented;
    }
  }

  const std::string lower = "already lower-case text, 42 [ok] @`{";
  const std::string_view same = lower_case(lower, scratch);
  EXPECT_EQ(same.data(), lower.data());
  EXPECT_EQ(same.size(), lower.size());
}

TEST(LowerCase, NonAsciiUsesFullUnicodeMapping) {
  std::string scratch;
  EXPECT_EQ(lower_case("ABCDEFGHÉ", scratch), "abcdefghé");
  EXPECT_EQ(lower_case("ΣΟΦΟΣ ΟΔΟΣ", scratch), "\u03c3\u03bf\u03c6\u03bf\u03c2 \u03bf\u03b4\u03bf\u03c2");
  EXPECT_EQ(lower_case("\u0130", scratch), "i\u0307");
  EXPECT_EQ(lower_case("ÀÉÎÕÜ ẞ Ω", scratch), "àéîõü ß ω");
  EXPECT_EQ(lower_case("déjà vu", scratch), "déjà vu");
  EXPECT_EQ(lower_case("𐐀 emoji 😀", scratch), "𐐨 emoji 😀");
}

TEST(TokenQc, RefusesControlBreaksAndRejectedSubstrings) {
  for (const char* ok : {"a", "inchi key", "uncharacterize", "hypothetica", "vitamin b12", "short"}) {
    EXPECT_TRUE(token_qc(ok)) << ok;
  }
  for (const char* bad : {"", "a\tb", "\n", "x\r", "inchikey", "inchikey=abc", "the uncharacterized one",
                          "xxhypothetical", "hypothetical", "aaaaaaa-uncharacterized"}) {
    EXPECT_FALSE(token_qc(bad)) << bad;
  }
}

TEST(IsDeadTerm, EmptyDigitsAndPlaceholderWords) {
  for (const char* dead : {"", "0", "0123456789", "na", "nan", "none", "null", "result", "symbol", "unknown", "p_value",
                           "variable", "exposure", "expression", "not applicable"}) {
    EXPECT_TRUE(is_dead_term(dead)) << dead;
  }
  for (const char* alive : {"null value", "pvalue", "1.5", "12a", "NULL", "not  applicable", "n", "nulls", "-1"}) {
    EXPECT_FALSE(is_dead_term(alive)) << alive;
  }
}

TEST(LevelTwo, KeepsOnlyWordBytes) {
  std::string out = "untouched";
  EXPECT_FALSE(level_two("gene_symbol_2", out));
  EXPECT_FALSE(level_two("", out));
  EXPECT_EQ(out, "untouched");

  ASSERT_TRUE(level_two("hgnc:1100", out));
  EXPECT_EQ(out, "hgnc1100");
  ASSERT_TRUE(level_two("café au lait", out));
  EXPECT_EQ(out, "cafaulait");
  ASSERT_TRUE(level_two("-- ", out));
  EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace corv::fullmap
