// Term lookup in the "rows" form: every posting of every found term
// hydrated into a full record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/status.h"
#include "fullmap/lookup/generation.h"
#include "fullmap/lookup/pair_lookup.h"

namespace corv::fullmap {

// One hydrated posting.
struct FullmapRecord {
  std::string curie;  // "{prefix}:{local_id}"
  std::string preferred_name;
  std::string category_name;
  int64_t taxon_id = 0;
  std::string source_name;
  std::string source_version;
  friend bool operator==(const FullmapRecord&, const FullmapRecord&) = default;
};

// A found term and one record per posting, in stored posting order.
struct RowEntry {
  std::string term;
  std::vector<FullmapRecord> records;
  friend bool operator==(const RowEntry&, const RowEntry&) = default;
};

// One entry per found input term occurrence, in input order.
using RowsResult = std::vector<RowEntry>;

// The whole rows answer for the fullmap at `db`, read from one build (see
// generation.h), with the thread budget of thread_budget.h.
Result<RowsResult> lookup_terms(std::filesystem::path db, std::vector<std::string> terms,
                                std::optional<size_t> threads);

// Hydrates a pairs answer from `gen`: each distinct CURIE row is read once.
// The first id without a row or table entry, in entry and posting order,
// fails the call ("missing ... id {}").
Result<RowsResult> hydrate_pairs(const FullmapGeneration& gen, PairsResult pairs);

}  // namespace corv::fullmap
