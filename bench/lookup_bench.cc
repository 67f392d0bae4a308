// Term lookup throughput on a generated fullmap: pairs inline (one core) and
// with the default thread budget, then rows (lookup plus hydration). No
// Python objects are involved.
//
// usage: lookup_bench [stored terms] [query terms] [directory] [pairs|rows|all]

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "fullmap/lookup/pair_lookup.h"
#include "fullmap/lookup/row_lookup.h"
#include "fullmap/lookup/thread_budget.h"
#include "fullmap/store/db_cache.h"
#include "fullmap/store/layout.h"
#include "fullmap/store/record_encoding.h"
#include "fullmap/store/writable_database.h"

namespace {

using namespace corv::fullmap;

const std::vector<std::string> kWords = {
    "protein", "kinase",  "receptor", "alpha",   "beta",       "gamma",   "acid",      "syndrome",
    "type",    "disease", "factor",   "binding", "domain",     "family",  "member",    "subunit",
    "channel", "sodium",  "cell",     "tumor",   "growth",     "hormone", "oxidase",   "reductase",
    "human",   "mouse",   "complex",  "like",    "associated", "nuclear", "inhibitor", "activity",
};

std::string stored_term(uint64_t i) {
  std::string s = kWords[i % kWords.size()];
  s += ' ';
  s += kWords[(i / kWords.size()) % kWords.size()];
  s += ' ';
  s += std::to_string(i);
  return s;
}

template <class T>
T must(corv::Result<T> r, const char* what) {
  if (!r) {
    std::fprintf(stderr, "%s: %s\n", what, r.error().message.c_str());
    std::exit(1);
  }
  return std::move(*r);
}

void must(const corv::Status& s, const char* what) {
  if (!s) {
    std::fprintf(stderr, "%s: %s\n", what, s.error().message.c_str());
    std::exit(1);
  }
}

constexpr size_t kCacheBytes = size_t{256} << 20;
constexpr uint32_t kCuries = 500000;

void write_main(const std::filesystem::path& path) {
  auto db = must(WritableDatabase::create(path, kCacheBytes), "create main");
  auto txn = must(db.begin_write(), "begin main");
  auto prefixes = must(txn.open_table(kPrefixesTable), "prefixes");
  for (uint16_t i = 0; i < 40; ++i) must(prefixes.append(i, "PREFIX" + std::to_string(i)), "prefix");
  auto categories = must(txn.open_table(kCategoriesTable), "categories");
  for (uint16_t i = 0; i < 30; ++i) must(categories.append(i, "Category" + std::to_string(i)), "category");
  auto sources = must(txn.open_table(kSourcesTable), "sources");
  for (uint8_t i = 0; i < 8; ++i) must(sources.append(i, encode_source_row("source_" + std::to_string(i))), "source");
  auto curies = must(txn.open_table(kCuriesTable), "curies");
  std::string value;
  for (uint32_t id = 0; id < kCuries; ++id) {
    value.clear();
    encode_curie_row(
        CurieRow{static_cast<uint16_t>(id % 40), std::to_string(1000000 + id), "preferred name " + std::to_string(id),
                 static_cast<uint16_t>(id % 30), static_cast<int32_t>(id % 3 == 0 ? 9606 : 0)},
        value);
    must(curies.append(id, value), "curie");
  }
  auto meta = must(txn.open_table(kMetaTable), "meta");
  must(meta.insert(kMetaSchema, kSchemaMarker), "meta");
  must(meta.insert(kMetaBuildId, "42"), "meta");
  must(meta.insert(kMetaShards, std::to_string(kBuildShardCount)), "meta");
  must(txn.commit(), "commit main");
  must(db.close(), "close main");
}

void write_shards(const std::filesystem::path& main, uint64_t n_terms) {
  std::vector<std::vector<std::pair<uint64_t, uint64_t>>> by_shard(kBuildShardCount);  // (hash, i)
  for (uint64_t i = 0; i < n_terms; ++i) {
    const uint64_t h = term_hash(stored_term(i));
    by_shard[shard_of(h, kBuildShardCount)].emplace_back(h, i);
  }
  std::string value;
  std::vector<TermPosting> postings;
  for (uint64_t s = 0; s < kBuildShardCount; ++s) {
    auto& terms = by_shard[s];
    std::sort(terms.begin(), terms.end());
    auto db = must(WritableDatabase::create(shard_path(main, s), kCacheBytes), "create shard");
    auto txn = must(db.begin_write(), "begin shard");
    auto meta = must(txn.open_table(kMetaTable), "meta");
    must(meta.insert(kMetaBuildId, "42"), "meta");
    auto records = must(txn.open_table(kRecordsTable), "records");
    for (const auto& [hash, i] : terms) {
      postings.clear();
      for (uint64_t k = 0; k <= i % 3; ++k) {
        postings.push_back({static_cast<uint32_t>((i * 7 + k * 13) % kCuries), static_cast<uint8_t>(k)});
      }
      std::sort(postings.begin(), postings.end());
      value.clear();
      encode_term_record(stored_term(i), std::span<const TermPosting>(postings), value);
      must(records.append(hash, value), "record");
    }
    must(txn.commit(), "commit shard");
    must(db.close(), "close shard");
  }
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t n_stored = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000000;
  const size_t n_query = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000000;
  const std::filesystem::path dir =
      argc > 3 ? std::filesystem::path(argv[3])
               : std::filesystem::temp_directory_path() / ("lookup-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path main = dir / "fullmap.redb";
  const std::string mode = argc > 4 ? argv[4] : "all";

  auto t0 = std::chrono::steady_clock::now();
  write_main(main);
  write_shards(main, n_stored);
  std::printf("generated %llu terms, %u CURIEs in %.1f s\n", static_cast<unsigned long long>(n_stored), kCuries,
              seconds_since(t0));

  // 90% hits, 10% misses, in random order.
  std::mt19937_64 rng(1);
  std::vector<std::string> query;
  query.reserve(n_query);
  for (size_t i = 0; i < n_query; ++i) {
    query.push_back(rng() % 10 == 0 ? "missing term " + std::to_string(i) : stored_term(rng() % n_stored));
  }

  auto shards = must(open_cached_shards(main), "pin shards");
  const size_t cores = default_lookup_workers(n_query);
  // The lookup owns its terms; the copy handed over is made before timing.
  const auto run_pairs = [&](size_t threads) {
    std::vector<std::string> terms = query;
    const auto start = std::chrono::steady_clock::now();
    auto result = must(lookup_pair_terms_db(shards, std::move(terms), threads), "lookup");
    const double secs = seconds_since(start);
    return std::pair(result.size(), secs);
  };
  run_pairs(1);  // warm the page cache

  for (size_t threads : {size_t{1}, cores}) {
    if (mode == "rows") break;
    double best = 1e9;
    size_t hits = 0;
    for (int rep = 0; rep < 3; ++rep) {
      auto [h, secs] = run_pairs(threads);
      hits = h;
      best = std::min(best, secs);
    }
    std::printf("pairs  threads %2zu: %zu terms, %zu hits, %.3f s, %.2f M terms/s\n", threads, n_query, hits, best,
                n_query / best / 1e6);
  }

  for (size_t threads : {size_t{1}, cores}) {
    if (mode == "pairs") break;
    double best = 1e9;
    size_t records = 0;
    for (int rep = 0; rep < 3; ++rep) {
      std::vector<std::string> terms = query;
      const auto start = std::chrono::steady_clock::now();
      auto rows = must(lookup_terms(main, std::move(terms), threads), "rows");
      const double secs = seconds_since(start);
      records = rows.records.size();
      best = std::min(best, secs);
    }
    std::printf("rows   threads %2zu: %zu terms, %zu records, %.3f s, %.2f M records/s\n", threads, n_query, records,
                best, records / best / 1e6);
  }

  if (argc <= 3) std::filesystem::remove_all(dir);
  return 0;
}
