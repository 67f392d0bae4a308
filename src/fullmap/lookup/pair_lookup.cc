#include "fullmap/lookup/pair_lookup.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "fullmap/lookup/group_fanout.h"
#include "fullmap/lookup/thread_budget.h"
#include "fullmap/store/db_cache.h"
#include "fullmap/store/layout.h"

namespace corv::fullmap {
namespace {

using RecordsTable = ReadTable<uint64_t, Bytes>;

// Below this many probes the reads go in input order; reordering only pays
// once the keys no longer fit in cache.
constexpr size_t kReorderMin = 256;
// At most 2^kMaxOrderBits buckets for the reordering.
constexpr int kMaxOrderBits = 16;
// How far ahead the reads of scattered memory are announced.
constexpr size_t kPrefetchAhead = 16;
// A term of a few words with a posting or two.
constexpr size_t kUsualRecordBytes = 48;
// The size of a value that is not there.
constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();

// The postings of a stored value when it holds `term`, or nullopt when it
// holds another term with the same hash.
Result<std::optional<std::vector<TermPosting>>> match(std::string_view value, std::string_view term) {
  auto record = decode_term_record_view(value);
  if (!record) return std::unexpected(std::move(record.error()));
  if (record->term != term) return std::nullopt;
  return record->postings();
}

const RecordsTable& table_of(std::span<const RecordsTable> tables, uint64_t hash) {
  return tables[shard_of(hash, tables.size())];
}

// Point get, decode and compare for each probe in input order.
Result<std::vector<PostingsHit>> probe_in_order(std::span<const RecordsTable> tables,
                                                const std::vector<std::string>& terms,
                                                std::span<const TermProbe> probes) {
  std::vector<PostingsHit> hits;
  std::string value;
  for (const TermProbe& probe : probes) {
    value.clear();
    auto stored = table_of(tables, probe.hash).get_into(probe.hash, value);
    if (!stored) return std::unexpected(std::move(stored.error()));
    if (!*stored) continue;
    auto found = match(value, terms[probe.position]);
    if (!found) return std::unexpected(std::move(found.error()));
    if (*found) hits.push_back(PostingsHit{probe.position, std::move(**found)});
  }
  return hits;
}

// `probes` (hash, index into probes) ordered by shard, then by the high bits
// of the hash: a counting sort that brings together keys that live on the
// same B-tree pages. Stable, so equal buckets keep input order.
std::vector<TermProbe> page_order(std::span<const TermProbe> probes, uint64_t n_tables) {
  const int shard_bits = std::countr_zero(n_tables);
  const int total_bits = std::clamp(static_cast<int>(std::bit_width(probes.size())) - 2, shard_bits, kMaxOrderBits);
  const int high_bits = total_bits - shard_bits;
  const auto bucket = [&](uint64_t hash) -> size_t {
    const uint64_t high = high_bits == 0 ? 0 : hash >> (64 - high_bits);
    return static_cast<size_t>((shard_of(hash, n_tables) << high_bits) | high);
  };
  std::vector<size_t> starts((size_t{1} << total_bits) + 1, 0);
  for (const TermProbe& probe : probes) ++starts[bucket(probe.hash) + 1];
  for (size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
  std::vector<TermProbe> order(probes.size());
  for (size_t i = 0; i < probes.size(); ++i) order[starts[bucket(probes[i].hash)]++] = TermProbe{probes[i].hash, i};
  return order;
}

// As probe_in_order, with the same result and the same first failure, but
// with the point gets made in page order: random gets over large shard
// files are bound by memory latency, neighbouring ones share their pages.
// The values are copied out one after another, into room sized for the
// usual record so that it seldom grows, then decoded and compared in input
// order.
Result<std::vector<PostingsHit>> probe(std::span<const RecordsTable> tables, const std::vector<std::string>& terms,
                                       std::span<const TermProbe> probes) {
  if (probes.size() < kReorderMin) return probe_in_order(tables, terms, probes);
  struct Stored {
    uint64_t offset = 0;
    uint64_t size = kNone;
  };
  std::vector<Stored> values(probes.size());
  std::string bytes;
  bytes.reserve(probes.size() * kUsualRecordBytes);
  const std::vector<TermProbe> order = page_order(probes, tables.size());
  for (size_t k = 0; k < order.size(); ++k) {
    const auto [hash, i] = order[k];
    if (k + kPrefetchAhead < order.size()) __builtin_prefetch(&values[order[k + kPrefetchAhead].position], 1);
    const size_t offset = bytes.size();
    auto stored = table_of(tables, hash).get_into(hash, bytes);
    // A read failure: read again in input order to report the first one.
    if (!stored) return probe_in_order(tables, terms, probes);
    if (*stored) values[i] = Stored{offset, bytes.size() - offset};
  }
  std::vector<PostingsHit> hits;
  hits.reserve(probes.size());
  for (size_t i = 0; i < probes.size(); ++i) {
    if (i + kPrefetchAhead < probes.size() && values[i + kPrefetchAhead].size != kNone) {
      __builtin_prefetch(bytes.data() + values[i + kPrefetchAhead].offset);
    }
    if (values[i].size == kNone) continue;
    auto found = match(std::string_view(bytes).substr(values[i].offset, values[i].size), terms[probes[i].position]);
    if (!found) return std::unexpected(std::move(found.error()));
    if (*found) hits.push_back(PostingsHit{probes[i].position, std::move(**found)});
  }
  return hits;
}

Result<GroupHits> read_group(const ShardGroup& group) {
  return lookup_shard_bucket(*group.shard, *group.terms, group.probes);
}

}  // namespace

Result<std::vector<PostingsHit>> lookup_shard_bucket(const ReadOnlyDatabase& shard,
                                                     const std::vector<std::string>& terms,
                                                     std::span<const TermProbe> group) {
  auto txn = shard.begin_read();
  if (!txn) return std::unexpected(std::move(txn.error()));
  auto table = txn->open_table(kRecordsTable);
  if (!table) return std::unexpected(std::move(table.error()));
  return probe(std::span<const RecordsTable>(&*table, 1), terms, group);
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

  std::vector<TermProbe> probes(terms.size());
  for (size_t p = 0; p < terms.size(); ++p) probes[p] = TermProbe{term_hash(terms[p]), p};
  auto hits = probe(tables, terms, probes);
  if (!hits) return std::unexpected(std::move(hits.error()));
  PairsResult out;
  out.reserve(hits->size());
  for (PostingsHit& hit : *hits) out.push_back(PairEntry{std::move(terms[hit.position]), std::move(hit.postings)});
  return out;
}

Result<PairsResult> lookup_pair_terms_db(const std::vector<SharedDatabase>& shards, std::vector<std::string> terms,
                                         size_t threads) {
  const size_t n = terms.size();
  if (n == 0) return PairsResult{};
  const uint64_t n_shards = shards.size();
  if (n_shards < 2 || n == 1 || threads < 2 || n > std::numeric_limits<uint32_t>::max()) {
    return lookup_pair_chunk(shards, std::move(terms));
  }

  // Threads that outlive a failed call still read the terms, so they share
  // ownership of them.
  auto shared_terms = std::make_shared<std::vector<std::string>>(std::move(terms));
  std::vector<uint64_t> hashes(n);
  std::vector<size_t> group_sizes(n_shards, 0);
  for (size_t p = 0; p < n; ++p) {
    hashes[p] = term_hash((*shared_terms)[p]);
    ++group_sizes[shard_of(hashes[p], n_shards)];
  }
  std::vector<std::vector<TermProbe>> by_shard(n_shards);
  for (uint64_t s = 0; s < n_shards; ++s) by_shard[s].reserve(group_sizes[s]);
  for (size_t p = 0; p < n; ++p) by_shard[shard_of(hashes[p], n_shards)].push_back(TermProbe{hashes[p], p});

  std::vector<ShardGroup> groups;
  for (uint64_t s = 0; s < n_shards; ++s) {
    if (!by_shard[s].empty()) groups.push_back(ShardGroup{shards[s], shared_terms, std::move(by_shard[s])});
  }
  auto group_hits = read_groups(std::move(groups), threads, read_group);
  if (!group_hits) return std::unexpected(std::move(group_hits.error()));

  // Every thread has been joined: the terms are ours alone again. Hits go
  // back into input order by a counting sort on their (distinct) positions.
  constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
  struct Slot {
    uint32_t group = kNone;
    uint32_t index = 0;
  };
  std::vector<Slot> slot_of(n);
  size_t n_hits = 0;
  for (size_t g = 0; g < group_hits->size(); ++g) {
    const GroupHits& hits = (*group_hits)[g];
    for (size_t i = 0; i < hits.size(); ++i)
      slot_of[hits[i].position] = Slot{static_cast<uint32_t>(g), static_cast<uint32_t>(i)};
    n_hits += hits.size();
  }
  std::vector<std::string>& owned = *shared_terms;
  PairsResult out;
  out.reserve(n_hits);
  for (size_t p = 0; p < n; ++p) {
    if (slot_of[p].group == kNone) continue;
    out.push_back(
        PairEntry{std::move(owned[p]), std::move((*group_hits)[slot_of[p].group][slot_of[p].index].postings)});
  }
  return out;
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
