// emit_term throughput on one core over a generated mix of biomedical-looking
// names: mostly ASCII, some mixed case, a few percent non-ASCII, CURIEs, and
// the occasional quoted or padded name.
//
// Three regimes: names spread over a large pool with the map drained at the
// default spill size (the realistic one: mostly new keys, a map far larger
// than the caches), the same with a small map, and a few thousand names
// emitted again and again into a hot map. "raw map" inserts the untouched
// names into the same map type: the floor that the map alone sets.
//
// usage: emit_term_bench [emissions] [distinct names of the spread pool]

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "fullmap/build/normalize.h"

namespace {

using corv::fullmap::TermMap;

const std::vector<std::string> kWords = {
    "protein",    "kinase",        "receptor",  "alpha",     "beta",     "gamma",       "acid",       "syndrome",
    "deficiency", "type",          "disease",   "factor",    "binding",  "domain",      "containing", "family",
    "member",     "subunit",       "channel",   "potassium", "sodium",   "carcinoma",   "cell",       "tumor",
    "growth",     "hormone",       "oxidase",   "reductase", "synthase", "transporter", "cancer",     "chronic",
    "acute",      "infection",     "virus",     "human",     "mouse",    "regulator",   "complex",    "like",
    "associated", "mitochondrial", "ribosomal", "large",     "small",    "nuclear",     "inhibitor",  "activity",
};
const std::vector<std::string> kSymbols = {"IL", "TNF", "BRCA", "TP", "CD", "EGFR", "KRAS", "HLA", "APOE", "MAPK"};
const std::vector<std::string> kPrefixes = {"MONDO",           "HGNC", "CHEBI", "NCBIGene", "UMLS",
                                            "UniProtKB",       "DOID", "HP",    "MESH",     "CHEMBL.COMPOUND",
                                            "PUBCHEM.COMPOUND"};
const std::vector<std::string> kNonAscii = {"é", "α", "β", "ö", "–", "γ", "ü", "Ψ", "É", "Δ"};

std::string make_name(std::mt19937_64& rng) {
  auto pick = [&](const std::vector<std::string>& v) -> const std::string& { return v[rng() % v.size()]; };
  const unsigned roll = rng() % 100;
  std::string s;
  if (roll < 25) {  // CURIE
    s = pick(kPrefixes) + ":" + std::to_string(rng() % 10000000);
    return s;
  }
  if (roll < 40) {  // gene-like symbol: IL-6, TP53
    s = pick(kSymbols);
    if (rng() % 2) s += "-";
    s += std::to_string(rng() % 200);
    return s;
  }
  const size_t words = 1 + rng() % 5;
  for (size_t i = 0; i < words; ++i) {
    if (i) s += (rng() % 10 == 0) ? ", " : " ";
    std::string w = pick(kWords);
    const unsigned c = rng() % 10;
    if (c < 3) w[0] = static_cast<char>(w[0] - 'a' + 'A');
    if (c == 3)
      for (char& ch : w) ch = static_cast<char>(ch - 'a' + 'A');
    s += w;
    if (rng() % 6 == 0) {
      s += ' ';
      s += std::to_string(rng() % 20);
    }
  }
  if (roll < 44) s.insert(rng() % (s.size() + 1), pick(kNonAscii));
  if (roll == 44) {
    s.insert(s.begin(), '\'');
    s.push_back('\'');
  }
  if (roll == 45) {
    s.insert(0, 2, ' ');
    s.push_back(' ');
  }
  if (s.size() > 60) {
    size_t cut = 60;  // back off to a character boundary
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    s.resize(cut);
  }
  return s;
}

struct Workload {
  std::vector<std::string_view> names;  // in emission order
  std::string arena;                    // their bytes, laid out in that order
};

// `emissions` names drawn from a pool of `distinct`, stored contiguously as
// a worker meets them in a parsed chunk.
Workload make_workload(size_t emissions, size_t distinct, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::string> pool;
  pool.reserve(distinct);
  for (size_t i = 0; i < distinct; ++i) pool.push_back(make_name(rng));
  Workload w;
  std::vector<std::pair<size_t, size_t>> spans;
  spans.reserve(emissions);
  for (size_t i = 0; i < emissions; ++i) {
    const std::string& name = pool[rng() % pool.size()];
    spans.emplace_back(w.arena.size(), name.size());
    w.arena += name;
  }
  w.names.reserve(emissions);
  for (const auto& [off, len] : spans) w.names.emplace_back(w.arena.data() + off, len);
  return w;
}

void describe(const Workload& w) {
  size_t bytes = 0;
  size_t non_ascii = 0;
  for (const std::string_view name : w.names) {
    bytes += name.size();
    for (const unsigned char c : name) {
      if (c >= 0x80) {
        ++non_ascii;
        break;
      }
    }
  }
  const auto n = static_cast<double>(w.names.size());
  std::printf("  %zu emissions, mean %.1f bytes, %.1f%% non-ASCII\n", w.names.size(), static_cast<double>(bytes) / n,
              100.0 * static_cast<double>(non_ascii) / n);
}

// Names per second through emit_term (or, with raw, the bare map insert of
// the untouched name, the floor set by the map itself). The map is drained
// whenever it holds `window` keys, which is not timed; `pass` only splits the
// timing (a hot map keeps its keys and gathers postings throughout).
double measure(const Workload& w, size_t window, size_t pass, bool raw) {
  TermMap map;
  std::chrono::steady_clock::duration timed{};
  size_t i = 0;
  const size_t n = w.names.size();
  while (i < n) {
    const size_t stop = i + std::min(n - i, pass);
    const auto start = std::chrono::steady_clock::now();
    for (; i < stop && !map.holds_at_least(window); ++i) {
      const auto curie_id = static_cast<uint32_t>(i);
      const auto source_id = static_cast<uint8_t>(i & 7);
      if (raw) {
        map.add(w.names[i], {curie_id, source_id});
      } else {
        emit_term(w.names[i], curie_id, source_id, map);
      }
    }
    timed += std::chrono::steady_clock::now() - start;
    if (map.holds_at_least(window)) map.clear();
  }
  return static_cast<double>(n) / std::chrono::duration<double>(timed).count();
}

void report(const char* label, const Workload& w, size_t window, size_t pass) {
  double emit = 0;
  double raw = 0;
  for (int run = 0; run < 3; ++run) {
    emit = std::max(emit, measure(w, window, pass, false));
    raw = std::max(raw, measure(w, window, pass, true));
  }
  std::printf("%-44s %8.2f %8.2f\n", label, emit / 1e6, raw / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t emissions = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 8000000;
  const size_t distinct = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2000000;
  const size_t kNoPasses = SIZE_MAX;

  const Workload spread = make_workload(emissions, distinct, 20260722);
  const Workload repeats = make_workload(emissions, 4096, 20260723);
  std::printf("spread: %zu distinct names\n", distinct);
  describe(spread);
  std::printf("repeats: 4096 distinct names\n");
  describe(repeats);

  std::printf("%-44s %8s %8s\n", "M names/s", "emit", "raw map");
  report("spread, drained at 1,000,000 keys", spread, 1000000, kNoPasses);
  report("spread, drained at 16,384 keys", spread, 16384, kNoPasses);
  report("repeats, hot map, keys kept", repeats, SIZE_MAX, 4096);
  return 0;
}
