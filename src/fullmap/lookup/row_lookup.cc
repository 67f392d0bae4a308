#include "fullmap/lookup/row_lookup.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "absl/container/flat_hash_map.h"
#include "common/source_version.h"
#include "fullmap/lookup/thread_budget.h"

namespace corv::fullmap {
namespace {

std::unexpected<Error> missing(std::string_view what, uint64_t id) {
  std::string message = "missing ";
  message.append(what).append(" id ").append(std::to_string(id));
  return fail_runtime(std::move(message));
}

// The parts of a CURIE's records that do not depend on the posting, worked
// out when the CURIE is first met so that repeats cost one map lookup.
struct ResolvedCurie {
  bool ready = false;
  std::string curie;
  const std::string* category_name = nullptr;
};

}  // namespace

Result<RowsResult> hydrate_pairs(const FullmapGeneration& gen, PairsResult pairs) {
  std::vector<uint32_t> ids;
  for (const PairEntry& entry : pairs) {
    for (const TermPosting& posting : entry.postings) ids.push_back(posting.curie_id);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());

  auto rows = hydrate_curie_rows(*gen.main, ids);
  if (!rows) return std::unexpected(std::move(rows.error()));
  absl::flat_hash_map<uint32_t, size_t> slot_of;
  slot_of.reserve(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) slot_of.emplace(ids[i], i);
  std::vector<ResolvedCurie> resolved(ids.size());

  const std::string version(kFullmapSourceVersion);
  RowsResult out;
  out.reserve(pairs.size());
  for (PairEntry& entry : pairs) {
    std::vector<FullmapRecord> records;
    records.reserve(entry.postings.size());
    for (const TermPosting& posting : entry.postings) {
      const auto slot = slot_of.find(posting.curie_id);
      if (slot == slot_of.end()) return missing("hydrated CURIE", posting.curie_id);
      const CurieRow& row = (*rows)[slot->second];
      ResolvedCurie& curie = resolved[slot->second];
      if (!curie.ready) {
        const auto prefix = gen.prefixes.find(row.prefix_id);
        if (prefix == gen.prefixes.end()) return missing("prefix", row.prefix_id);
        const auto category = gen.categories.find(row.category_id);
        if (category == gen.categories.end()) return missing("category", row.category_id);
        curie.curie.reserve(prefix->second.size() + 1 + row.local_id.size());
        curie.curie.append(prefix->second).append(1, ':').append(row.local_id);
        curie.category_name = &category->second;
        curie.ready = true;
      }
      const auto source = gen.sources.find(posting.source_id);
      if (source == gen.sources.end()) return missing("source", posting.source_id);
      records.push_back(FullmapRecord{curie.curie, row.preferred_name, *curie.category_name, row.taxon_id,
                                      source->second, version});
    }
    out.push_back(RowEntry{std::move(entry.term), std::move(records)});
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
  return hydrate_pairs(*gen, std::move(*pairs));
}

}  // namespace corv::fullmap
