// Store throughput on one core:
//  1. open_cached() hits on a main file (and open_cached_shards() pins);
//  2. writing one shard of N term records with ascending appends;
//  3. point gets of random existing keys in that shard, page cache warm:
//     raw, in key order, and with the term hashed and its record decoded
//     and compared.
//
// usage: store_bench [records (default 10000000)] [directory (default
// $CORV_TEST_TMP or /tmp)]

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "fullmap/store/db_cache.h"
#include "fullmap/store/layout.h"
#include "fullmap/store/record_encoding.h"
#include "fullmap/store/writable_database.h"

namespace {

using namespace corv::fullmap;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "store_bench: %s\n", what.c_str());
  std::exit(1);
}

template <class R>
auto must(R&& r, const char* what) {
  if (!r) die(std::string(what) + ": " + r.error().message);
  if constexpr (!std::is_void_v<typename std::remove_cvref_t<R>::value_type>) return std::move(*r);
}

void write_meta_file(const std::filesystem::path& path, const std::vector<std::pair<std::string, std::string>>& kv) {
  auto db = must(WritableDatabase::create(path, 0), "create");
  auto txn = must(db.begin_write(), "begin_write");
  auto meta = must(txn.open_table(kMetaTable), "open meta");
  for (const auto& [k, v] : kv) must(meta.insert(k, v), "insert");
  must(txn.commit(), "commit");
  must(db.close(), "close");
}

void bench_cache(const std::filesystem::path& dir) {
  const auto main = dir / "bench-main.redb";
  write_meta_file(main, {{"schema", std::string(kSchemaMarker)}, {"build_id", "77"}, {"shards", "16"}});
  for (uint64_t i = 0; i < 16; ++i) write_meta_file(shard_path(main, i), {{"build_id", "77"}});
  must(open_cached(main), "open_cached");

  constexpr int kHits = 2000000;
  auto start = Clock::now();
  for (int i = 0; i < kHits; ++i) {
    auto db = open_cached(main);
    if (!db) die(db.error().message);
  }
  double s = seconds_since(start);
  std::printf("open_cached hits:        %10.0f /s  (%.0f ns each)\n", kHits / s, s / kHits * 1e9);

  const auto canonical = std::filesystem::canonical(main);
  start = Clock::now();
  for (int i = 0; i < kHits; ++i) {
    auto db = open_cached_path(canonical, true);
    if (!db) die(db.error().message);
  }
  s = seconds_since(start);
  std::printf("open_cached_path hits:   %10.0f /s  (%.0f ns each)\n", kHits / s, s / kHits * 1e9);

  constexpr int kPins = 100000;
  start = Clock::now();
  for (int i = 0; i < kPins; ++i) {
    auto shards = open_cached_shards(main);
    if (!shards) die(shards.error().message);
  }
  s = seconds_since(start);
  std::printf("open_cached_shards (16): %10.0f /s  (%.1f us each)\n", kPins / s, s / kPins * 1e6);
  for (uint64_t i = 0; i < 16; ++i) std::filesystem::remove(shard_path(main, i));
  std::filesystem::remove(main);
}

std::string term_of(uint64_t i) {
  std::string t = "bench term ";
  t.append(std::to_string(i * 2654435761u % 1000000007u));
  return t;
}

void bench_shard(const std::filesystem::path& dir, uint64_t records) {
  const auto path = dir / "bench-shard.redb";
  std::vector<uint64_t> keys(records);
  std::vector<uint32_t> order(records);
  for (uint64_t i = 0; i < records; ++i) {
    keys[i] = term_hash(term_of(i));
    order[i] = static_cast<uint32_t>(i);
  }
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return keys[a] < keys[b]; });

  auto start = Clock::now();
  {
    // The shard's share of the default 2 GiB budget over 16 shards.
    auto db = must(WritableDatabase::create(path, size_t{2} << 30 >> 4), "create shard");
    auto txn = must(db.begin_write(), "begin_write");
    auto table = must(txn.open_table(kRecordsTable), "open records");
    std::string value;
    std::vector<TermPosting> postings;
    for (uint32_t i : order) {
      postings.clear();
      for (uint32_t p = 0; p <= i % 3; ++p) postings.push_back({i + p, static_cast<uint8_t>(p)});
      value.clear();
      encode_term_record(term_of(i), std::span<const TermPosting>(postings), value);
      must(table.append(keys[i], value), "append");
    }
    must(txn.commit(Durability::kNone), "commit");
    must(db.begin_write()->commit(), "durable commit");
    must(db.close(), "close");
  }
  const double write_s = seconds_since(start);
  struct stat st;
  ::stat(path.c_str(), &st);
  std::printf("shard write:             %10.0f records/s  (%llu records, %.1f s, file %.0f MiB)\n", records / write_s,
              static_cast<unsigned long long>(records), write_s, st.st_size / 1048576.0);

  auto db = must(open_read_only(path), "open shard");
  std::mt19937_64 rng(1);
  std::vector<uint32_t> probes(std::min<uint64_t>(records, 5000000));
  for (auto& p : probes) p = static_cast<uint32_t>(rng() % records);

  auto txn = must(db->begin_read(), "begin_read");
  auto table = must(txn.open_table(kRecordsTable), "open records");
  // Warm the page cache and the mapping.
  uint64_t warm = 0;
  must(table.scan([&](uint64_t, std::string_view v) { warm += v.size(); }), "scan");

  uint64_t found = 0;
  std::string value;
  start = Clock::now();
  for (uint32_t i : probes) {
    value.clear();
    auto v = table.get_into(keys[i], value);
    if (v && *v) found += !value.empty();
  }
  double s = seconds_since(start);
  std::printf("point gets (raw):        %10.0f /s  (%.0f ns each, %llu found)\n", probes.size() / s,
              s / probes.size() * 1e9, static_cast<unsigned long long>(found));

  // The same probes in key order, as a lookup that sorts a shard's group by
  // hash would issue them.
  std::vector<uint64_t> sorted_keys;
  sorted_keys.reserve(probes.size());
  for (uint32_t i : probes) sorted_keys.push_back(keys[i]);
  std::sort(sorted_keys.begin(), sorted_keys.end());
  found = 0;
  start = Clock::now();
  for (uint64_t k : sorted_keys) {
    value.clear();
    auto v = table.get_into(k, value);
    if (v && *v) found += !value.empty();
  }
  s = seconds_since(start);
  std::printf("point gets (key order):  %10.0f /s  (%.0f ns each, %llu found)\n", sorted_keys.size() / s,
              s / sorted_keys.size() * 1e9, static_cast<unsigned long long>(found));

  std::vector<std::string> terms;
  terms.reserve(probes.size());
  for (uint32_t i : probes) terms.push_back(term_of(i));
  found = 0;
  start = Clock::now();
  for (const std::string& term : terms) {
    const uint64_t h = term_hash(term);
    value.clear();
    auto v = table.get_into(h, value);
    if (!v || !*v) continue;
    auto rec = decode_term_record_view(value);
    if (rec && rec->term == term) found += rec->postings().size();
  }
  s = seconds_since(start);
  std::printf("term lookups (hash+get+decode): %5.0f /s  (%.0f ns each, %llu postings)\n", terms.size() / s,
              s / terms.size() * 1e9, static_cast<unsigned long long>(found));
  std::filesystem::remove(path);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t records = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000;
  const char* tmp = std::getenv("CORV_TEST_TMP");
  std::filesystem::path dir = argc > 2 ? argv[2] : (tmp != nullptr && *tmp ? tmp : "/tmp");
  dir /= "store-bench-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  bench_cache(dir);
  bench_shard(dir, records);
  std::filesystem::remove_all(dir);
  return 0;
}
