#include "fullmap/lookup/row_lookup.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>
#include <utility>

#include "common/source_version.h"
#include "fullmap/lookup/thread_budget.h"

namespace corv::fullmap {
namespace {

// How far ahead the scattered record writes are announced.
constexpr size_t kPrefetchAhead = 16;

std::unexpected<Error> missing(std::string_view what, uint64_t id) {
  std::string message = "missing ";
  message.append(what).append(" id ").append(std::to_string(id));
  return fail_runtime(std::move(message));
}

// Every posting as (CURIE id << 32 | posting index), posting index counting
// across all entries in order.
constexpr int kIndexBits = 32;
constexpr uint64_t kIndexMask = (uint64_t{1} << kIndexBits) - 1;
uint32_t curie_of(uint64_t key) { return static_cast<uint32_t>(key >> kIndexBits); }
size_t index_of(uint64_t key) { return static_cast<size_t>(key & kIndexMask); }

// Sorts keys by CURIE id, keeping posting order among equal ids: a two-pass
// radix sort on the id's 16-bit halves.
void sort_by_curie(std::vector<uint64_t>& keys) {
  std::vector<uint64_t> scratch(keys.size());
  for (const int shift : {kIndexBits, kIndexBits + 16}) {
    std::vector<size_t> starts((size_t{1} << 16) + 1, 0);
    for (const uint64_t key : keys) ++starts[((key >> shift) & 0xffff) + 1];
    for (size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
    for (const uint64_t key : keys) scratch[starts[(key >> shift) & 0xffff]++] = key;
    keys.swap(scratch);
  }
}

// The first missing id in entry and posting order. Only called once a
// missing id has been seen, so it favours plainness over speed.
Error first_missing(const PairsResult& pairs, const std::vector<uint32_t>& ids, const RowTexts& texts,
                    const StringTable& prefixes) {
  for (const PairEntry& entry : pairs) {
    for (const TermPosting& posting : entry.postings) {
      const auto it = std::lower_bound(ids.begin(), ids.end(), posting.curie_id);
      if (it == ids.end() || *it != posting.curie_id) return missing("hydrated CURIE", posting.curie_id).error();
      const CurieRow& row = texts.rows[static_cast<size_t>(it - ids.begin())];
      if (!prefixes.contains(row.prefix_id)) return missing("prefix", row.prefix_id).error();
      if (!texts.categories.contains(row.category_id)) return missing("category", row.category_id).error();
      if (!texts.sources.contains(posting.source_id)) return missing("source", posting.source_id).error();
    }
  }
  return Error::runtime("missing id");  // not reached: the caller saw one
}

}  // namespace

Result<RowsResult> hydrate_pairs(FullmapGeneration gen, PairsResult pairs) {
  size_t n_postings = 0;
  for (const PairEntry& entry : pairs) n_postings += entry.postings.size();
  if (n_postings > kIndexMask) return fail_runtime("too many postings in one lookup");

  // The postings in CURIE order: every row is then read, formatted and
  // copied from in one sequential sweep; only the record writes scatter.
  std::vector<uint64_t> keys;
  std::vector<uint8_t> source_of;
  keys.reserve(n_postings);
  source_of.reserve(n_postings);
  for (const PairEntry& entry : pairs) {
    for (const TermPosting& posting : entry.postings) {
      keys.push_back((uint64_t{posting.curie_id} << kIndexBits) | keys.size());
      source_of.push_back(posting.source_id);
    }
  }
  sort_by_curie(keys);
  std::vector<uint32_t> ids;
  for (const uint64_t key : keys) {
    if (ids.empty() || ids.back() != curie_of(key)) ids.push_back(curie_of(key));
  }

  auto rows = hydrate_curie_rows(*gen.main, ids);
  if (!rows) return std::unexpected(std::move(rows.error()));
  RowsResult out;
  out.texts = std::make_unique<RowTexts>();
  RowTexts& texts = *out.texts;
  texts.rows = std::move(*rows);
  texts.curies.resize(texts.rows.size());
  texts.categories = std::move(gen.categories);
  texts.sources = std::move(gen.sources);
  texts.version = std::string(kFullmapSourceVersion);
  std::array<const std::string*, 256> source_names{};
  for (const auto& [id, name] : texts.sources) source_names[id] = &name;

  out.records.resize(n_postings);
  size_t slot = 0;
  for (size_t k = 0; k < keys.size(); ++slot) {
    const CurieRow& row = texts.rows[slot];
    const auto prefix = gen.prefixes.find(row.prefix_id);
    const auto category = texts.categories.find(row.category_id);
    if (prefix == gen.prefixes.end() || category == texts.categories.end()) {
      return std::unexpected(first_missing(pairs, ids, texts, gen.prefixes));
    }
    std::string& curie = texts.curies[slot];
    curie.reserve(prefix->second.size() + 1 + row.local_id.size());
    curie.append(prefix->second).append(1, ':').append(row.local_id);
    for (const uint32_t id = curie_of(keys[k]); k < keys.size() && curie_of(keys[k]) == id; ++k) {
      if (k + kPrefetchAhead < keys.size()) __builtin_prefetch(&out.records[index_of(keys[k + kPrefetchAhead])], 1);
      const size_t j = index_of(keys[k]);
      const std::string* source = source_names[source_of[j]];
      if (source == nullptr) return std::unexpected(first_missing(pairs, ids, texts, gen.prefixes));
      out.records[j] = FullmapRecord{curie, row.preferred_name, category->second, row.taxon_id, *source, texts.version};
    }
  }

  out.entries.reserve(pairs.size());
  size_t first = 0;
  for (PairEntry& entry : pairs) {
    const size_t count = entry.postings.size();
    out.entries.push_back(RowEntry{std::move(entry.term), std::span(out.records).subspan(first, count)});
    first += count;
  }
  return out;
}

Result<RowsResult> lookup_terms(std::filesystem::path db, std::vector<std::string> terms,
                                std::optional<size_t> threads) {
  auto gen = open_generation(db, cached_openers());
  if (!gen) return std::unexpected(std::move(gen.error()));
  const size_t budget = effective_lookup_budget(terms.size(), threads);
  auto pairs = lookup_pair_terms_db(gen->shards, std::move(terms), budget);
  if (!pairs) return std::unexpected(std::move(pairs.error()));
  return hydrate_pairs(std::move(*gen), std::move(*pairs));
}

}  // namespace corv::fullmap
