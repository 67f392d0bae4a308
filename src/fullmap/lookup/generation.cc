#include "fullmap/lookup/generation.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "common/utf8.h"
#include "fullmap/store/db_cache.h"
#include "fullmap/store/layout.h"

namespace corv::fullmap {
namespace {

constexpr auto kRetryDelay = std::chrono::milliseconds(50);

Status load_tables(FullmapGeneration& gen) {
  auto build_id = read_build_id(*gen.main);
  if (!build_id) return std::unexpected(std::move(build_id.error()));
  auto prefixes = load_string_table(*gen.main, kPrefixesTable);
  if (!prefixes) return std::unexpected(std::move(prefixes.error()));
  auto categories = load_string_table(*gen.main, kCategoriesTable);
  if (!categories) return std::unexpected(std::move(categories.error()));
  auto sources = load_sources(*gen.main);
  if (!sources) return std::unexpected(std::move(sources.error()));
  gen.build_id = *build_id;
  gen.prefixes = std::move(*prefixes);
  gen.categories = std::move(*categories);
  gen.sources = std::move(*sources);
  return {};
}

}  // namespace

GenerationOpeners cached_openers() {
  return GenerationOpeners{
      [](const std::filesystem::path& db) { return open_cached(db); },
      [](const std::filesystem::path& db) { return open_cached_shards(db); },
  };
}

Result<FullmapGeneration> open_generation(const std::filesystem::path& db, const GenerationOpeners& openers) {
  FullmapGeneration gen;
  for (int attempt = 1; attempt <= kGenerationAttempts; ++attempt) {
    auto main = openers.open_main(db);
    if (!main) return std::unexpected(std::move(main.error()));
    if (*main != gen.main) {
      gen.main = std::move(*main);
      CORV_TRY(load_tables(gen));
    }
    auto shards = openers.open_shards(db);
    if (!shards) return std::unexpected(std::move(shards.error()));
    // A pinned set shares one build id, so its first shard speaks for all.
    if (shards->empty()) return fail_runtime("fullmap at " + utf8_lossy(db.native()) + " has no shard files");
    auto shard_build = read_build_id(*shards->front());
    if (!shard_build) return std::unexpected(std::move(shard_build.error()));
    if (*shard_build == gen.build_id) {
      gen.shards = std::move(*shards);
      return gen;
    }
    if (attempt < kGenerationAttempts) std::this_thread::sleep_for(kRetryDelay);
  }
  return fail_runtime("fullmap at " + utf8_lossy(canonical_or_given(db).native()) +
                      " kept changing generation; could not pin one primary-plus-shards bundle after " +
                      std::to_string(kGenerationAttempts) + " attempts");
}

}  // namespace corv::fullmap
