// Term lookup in the "rows" form: every posting of every found term
// hydrated into a full record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "fullmap/lookup/generation.h"
#include "fullmap/lookup/pair_lookup.h"

namespace corv::fullmap {

// The texts that the records of one rows answer share: each CURIE's text and
// row once, however many postings refer to it.
struct RowTexts {
  std::vector<CurieRow> rows;       // ascending CURIE id
  std::vector<std::string> curies;  // "{prefix}:{local_id}" of each row
  StringTable categories;
  SourceTable sources;
  std::string version;
};

// One hydrated posting. Its texts live in the RowTexts of its RowsResult.
struct FullmapRecord {
  std::string_view curie;
  std::string_view preferred_name;
  std::string_view category_name;
  int64_t taxon_id = 0;
  std::string_view source_name;
  std::string_view source_version;
  friend bool operator==(const FullmapRecord&, const FullmapRecord&) = default;  // by content
};

// A found term and one record per posting, in stored posting order.
struct RowEntry {
  std::string term;
  std::span<const FullmapRecord> records;  // into RowsResult::records
};

// One entry per found input term occurrence, in input order. Move-only: the
// entries and records point into storage that it owns.
struct RowsResult {
  std::vector<RowEntry> entries;
  std::vector<FullmapRecord> records;
  std::unique_ptr<RowTexts> texts;

  RowsResult() = default;
  RowsResult(RowsResult&&) = default;
  RowsResult& operator=(RowsResult&&) = default;
  RowsResult(const RowsResult&) = delete;
  RowsResult& operator=(const RowsResult&) = delete;
};

// The whole rows answer for the fullmap at `db`, read from one build (see
// generation.h), with the thread budget of thread_budget.h.
Result<RowsResult> lookup_terms(std::filesystem::path db, std::vector<std::string> terms,
                                std::optional<size_t> threads);

// Hydrates a pairs answer from `gen`: each distinct CURIE row is read once.
// The first id without a row or table entry, in entry and posting order,
// fails the call ("missing ... id {}").
Result<RowsResult> hydrate_pairs(FullmapGeneration gen, PairsResult pairs);

}  // namespace corv::fullmap
