#include "fullmap/build/synonym_worker.h"

#include <cstdint>
#include <string_view>

#include "fullmap/build/curie_run.h"
#include "fullmap/build/equiv_index.h"
#include "fullmap/build/normalize.h"
#include "fullmap/build/synonym_row.h"
#include "fullmap/build/term_map.h"
#include "fullmap/build/term_run.h"
#include "fullmap/store/record_encoding.h"

namespace corv::fullmap {
namespace {

constexpr std::string_view kDefaultCategory = "NamedThing";
constexpr std::string_view kCategoryPrefix = "biolink:";
constexpr std::string_view kTaxonPrefix = "NCBITaxon:";

std::string_view strip_leading(std::string_view text, std::string_view prefix) {
  while (text.starts_with(prefix)) text.remove_prefix(prefix.size());
  return text;
}

// One optional sign, then ASCII digits only, within i32; anything else is 0.
int32_t parse_taxon(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return 0;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
    if (value > int64_t{INT32_MAX} + 1) return 0;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return 0;
  return static_cast<int32_t>(value);
}

class SynonymWorker {
 public:
  explicit SynonymWorker(IngestContext& context) : ctx_(context) {}

  Status process(const Chunk& chunk) {
    for (size_t i = 0; i < chunk.line_count(); ++i) {
      CORV_TRY(process_line(chunk.line(i), chunk.source_id));
    }
    return {};
  }

  Status finish() {
    if (!terms_.empty()) CORV_TRY(spill_terms());
    if (!batch_.empty()) CORV_TRY(spill_curie_rows());
    return {};
  }

 private:
  Status process_line(std::string_view line, uint8_t source_id) {
    CORV_TRY(decode_synonym_row(line, row_));
    if (!row_.has_curie) return {};
    const std::string_view curie = row_.curie;
    const size_t colon = curie.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == curie.size()) return {};
    const std::string_view prefix = curie.substr(0, colon);
    const std::string_view local_id = curie.substr(colon + 1);
    if (!ctx_.options.exclude_prefixes.empty() &&
        ctx_.options.exclude_prefixes.contains(absl::string_view(prefix.data(), prefix.size())))
      return {};

    const uint16_t prefix_id = ctx_.prefixes.get_or_assign(prefix, ctx_.next_prefix_id, kTooManyPrefixes);
    const std::string_view category =
        strip_leading(row_.types.empty() ? kDefaultCategory : std::string_view(row_.types[0]), kCategoryPrefix);
    const uint16_t category_id = ctx_.categories.get_or_assign(category, ctx_.next_category_id, kTooManyCategories);
    const int32_t taxon_id = parse_taxon(
        strip_leading(row_.taxa.empty() ? std::string_view() : std::string_view(row_.taxa[0]), kTaxonPrefix));

    const CurieIdMap::Assigned assigned = ctx_.curie_ids.get_or_assign(curie, ctx_.next_curie_id);
    if (assigned.is_new) {
      const std::string_view name_source = row_.has_preferred_name ? row_.preferred_name : curie;
      new_row_.prefix_id = prefix_id;
      new_row_.local_id.assign(local_id);
      new_row_.preferred_name.assign(clean_slice(name_source));
      new_row_.category_id = category_id;
      new_row_.taxon_id = taxon_id;
      CurieRunRow& entry = batch_.emplace_back();
      entry.curie_id = assigned.id;
      encode_curie_row(new_row_, entry.row);
    }

    const uint32_t id = assigned.id;
    for (const std::string& name : row_.names) emit_term(name, id, source_id, terms_);
    emit_term(curie, id, source_id, terms_);
    ctx_.equiv.equivalents(curie, [&](std::string_view equivalent) { emit_term(equivalent, id, source_id, terms_); });

    // The posting bound only matters for a few keys met billions of times.
    if (terms_.holds_at_least(ctx_.options.local_spill_entries) ||
        terms_.posting_count() >= TermMap::kMaxPostings / 2) {
      CORV_TRY(spill_terms());
    }
    if (batch_.size() >= ctx_.options.curie_spill_entries) CORV_TRY(spill_curie_rows());
    return {};
  }

  Status spill_terms() {
    const uint64_t run = ctx_.next_term_run.fetch_add(1, std::memory_order_relaxed);
    auto files = spill_run(terms_, *ctx_.options.spill, run, ctx_.options.shard_count);
    if (!files) return fail(std::move(files.error()));
    ctx_.add_term_runs(std::move(*files));
    return {};
  }

  Status spill_curie_rows() {
    const uint64_t run = ctx_.next_curie_run.fetch_add(1, std::memory_order_relaxed);
    auto file = spill_curie_run(batch_, *ctx_.options.spill, run);
    if (!file) return fail(std::move(file.error()));
    ctx_.add_curie_run(std::move(*file));
    return {};
  }

  IngestContext& ctx_;
  TermMap terms_;
  CurieRunBatch batch_;
  SynonymRow row_;
  CurieRow new_row_;  // reused so that its strings keep their storage
};

}  // namespace

Status worker_loop(ChunkReceiver receiver, IngestContext& context) {
  SynonymWorker worker(context);
  while (std::optional<Chunk> chunk = receiver.recv()) {
    CORV_TRY(worker.process(*chunk));
  }
  return worker.finish();
}

}  // namespace corv::fullmap
