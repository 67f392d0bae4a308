#include "fullmap/lookup/pair_lookup.h"

#include <limits>
#include <utility>

#include "fullmap/lookup/group_fanout.h"
#include "fullmap/lookup/thread_budget.h"
#include "fullmap/store/db_cache.h"
#include "fullmap/store/layout.h"

namespace corv::fullmap {
namespace {

using RecordsTable = ReadTable<uint64_t, Bytes>;

// The postings stored for `term`, or nullopt when its key is absent or holds
// another term with the same hash.
Result<std::optional<std::vector<TermPosting>>> find_postings(const RecordsTable& table, uint64_t hash,
                                                              std::string_view term) {
  auto value = table.get(hash);
  if (!value) return std::unexpected(std::move(value.error()));
  if (!*value) return std::nullopt;
  auto record = decode_term_record_view(**value);
  if (!record) return std::unexpected(std::move(record.error()));
  if (record->term != term) return std::nullopt;
  return record->postings();
}

Result<std::vector<GroupHit>> read_group(ShardGroup& group) {
  return lookup_shard_bucket(*group.shard, std::move(group.terms));
}

// Hits of distinct input positions, put back into input order.
PairsResult in_input_order(std::vector<GroupHit> hits, size_t n_terms) {
  constexpr size_t kNone = std::numeric_limits<size_t>::max();
  std::vector<size_t> hit_at(n_terms, kNone);
  for (size_t i = 0; i < hits.size(); ++i) hit_at[hits[i].position] = i;
  PairsResult out;
  out.reserve(hits.size());
  for (size_t index : hit_at) {
    if (index != kNone) out.push_back(std::move(hits[index].entry));
  }
  return out;
}

}  // namespace

Result<std::vector<GroupHit>> lookup_shard_bucket(const ReadOnlyDatabase& shard, std::vector<GroupTerm> group) {
  auto txn = shard.begin_read();
  if (!txn) return std::unexpected(std::move(txn.error()));
  auto table = txn->open_table(kRecordsTable);
  if (!table) return std::unexpected(std::move(table.error()));
  std::vector<GroupHit> hits;
  hits.reserve(group.size());
  for (GroupTerm& query : group) {
    auto found = find_postings(*table, query.hash, query.term);
    if (!found) return std::unexpected(std::move(found.error()));
    if (*found) hits.push_back(GroupHit{query.position, PairEntry{std::move(query.term), std::move(**found)}});
  }
  return hits;
}

Result<PairsResult> lookup_pair_chunk(const std::vector<SharedDatabase>& shards, std::vector<std::string> terms) {
  std::vector<ReadTransaction> txns;
  txns.reserve(shards.size());
  for (const SharedDatabase& shard : shards) {
    auto txn = shard->begin_read();
    if (!txn) return std::unexpected(std::move(txn.error()));
    txns.push_back(std::move(*txn));
  }
  std::vector<RecordsTable> tables;
  tables.reserve(shards.size());
  for (const ReadTransaction& txn : txns) {
    auto table = txn.open_table(kRecordsTable);
    if (!table) return std::unexpected(std::move(table.error()));
    tables.push_back(*table);
  }

  const uint64_t n_shards = shards.size();
  PairsResult out;
  out.reserve(terms.size());
  for (std::string& term : terms) {
    const uint64_t hash = term_hash(term);
    auto found = find_postings(tables[shard_of(hash, n_shards)], hash, term);
    if (!found) return std::unexpected(std::move(found.error()));
    if (*found) out.push_back(PairEntry{std::move(term), std::move(**found)});
  }
  return out;
}

Result<PairsResult> lookup_pair_terms_db(const std::vector<SharedDatabase>& shards, std::vector<std::string> terms,
                                         size_t threads) {
  const size_t n = terms.size();
  if (n == 0) return PairsResult{};
  const uint64_t n_shards = shards.size();
  if (n_shards < 2 || n == 1 || threads < 2) return lookup_pair_chunk(shards, std::move(terms));

  std::vector<uint64_t> hashes(n);
  std::vector<size_t> group_sizes(n_shards, 0);
  for (size_t p = 0; p < n; ++p) {
    hashes[p] = term_hash(terms[p]);
    ++group_sizes[shard_of(hashes[p], n_shards)];
  }
  std::vector<std::vector<GroupTerm>> by_shard(n_shards);
  for (uint64_t s = 0; s < n_shards; ++s) by_shard[s].reserve(group_sizes[s]);
  for (size_t p = 0; p < n; ++p) {
    by_shard[shard_of(hashes[p], n_shards)].push_back(GroupTerm{p, hashes[p], std::move(terms[p])});
  }

  std::vector<ShardGroup> groups;
  for (uint64_t s = 0; s < n_shards; ++s) {
    if (!by_shard[s].empty()) groups.push_back(ShardGroup{shards[s], std::move(by_shard[s])});
  }
  auto hits = read_groups(std::move(groups), threads, read_group);
  if (!hits) return std::unexpected(std::move(hits.error()));
  return in_input_order(std::move(*hits), n);
}

Result<PairsResult> lookup_pair_terms(std::filesystem::path db, std::vector<std::string> terms,
                                      std::optional<size_t> threads) {
  const size_t budget = effective_lookup_budget(terms.size(), threads);
  auto main = open_cached(db);
  if (!main) return std::unexpected(std::move(main.error()));
  auto shards = open_cached_shards(db);
  if (!shards) return std::unexpected(std::move(shards.error()));
  return lookup_pair_terms_db(*shards, std::move(terms), budget);
}

}  // namespace corv::fullmap
