// Term lookup in the "pairs" form: each found term with its stored postings.
//
// Terms are matched byte for byte as stored; nothing is normalised here. A
// term's hash picks its shard and is its key there; a hit counts only when
// the stored term equals the query, since two terms may share a hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/status.h"
#include "fullmap/store/read_only_database.h"
#include "fullmap/store/record_encoding.h"

namespace corv::fullmap {

// A found term (the caller's text) and its postings, ascending by
// (CURIE id, source id).
struct PairEntry {
  std::string term;
  std::vector<TermPosting> postings;
  friend bool operator==(const PairEntry&, const PairEntry&) = default;
};

// One entry per found input term occurrence, in input order; misses are left
// out.
using PairsResult = std::vector<PairEntry>;

// One query term: its position in the input and its hash.
struct TermProbe {
  uint64_t hash = 0;
  size_t position = 0;
};

// The postings found for the term at `position` of the input.
struct PostingsHit {
  size_t position = 0;
  std::vector<TermPosting> postings;
};

// The whole pairs answer for the fullmap at `db`: opens the main file and
// pins a shard set (their errors come first, also for no terms), then looks
// the terms up with the thread budget of thread_budget.h.
Result<PairsResult> lookup_pair_terms(std::filesystem::path db, std::vector<std::string> terms,
                                      std::optional<size_t> threads);

// Looks `terms` up in `shards` (1, 2, 4, 8 or 16 handles, in shard order)
// with an effective budget of `threads`. Runs inline with one shard, one
// term or a budget below 2; otherwise groups the terms by shard and reads
// the lowest `threads` groups on threads of their own, the rest here.
Result<PairsResult> lookup_pair_terms_db(const std::vector<SharedDatabase>& shards, std::vector<std::string> terms,
                                         size_t threads);

// The inline path: every shard's transaction and "records" table are opened
// first, in shard order, then the terms are read. A failure is the first one
// in input order.
Result<PairsResult> lookup_pair_chunk(const std::vector<SharedDatabase>& shards, std::vector<std::string> terms);

// Reads the terms of one shard group (`group` in input order, positions
// into `terms`) in a read transaction of its own. Hits come in group order;
// a failure is the first one in group order.
Result<std::vector<PostingsHit>> lookup_shard_bucket(const ReadOnlyDatabase& shard,
                                                     const std::vector<std::string>& terms,
                                                     std::span<const TermProbe> group);

}  // namespace corv::fullmap
