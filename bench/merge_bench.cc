// Shard merge throughput on one core: term runs of one shard, spilled from
// generated terms (each drawn from a pool, so that a term recurs across
// runs), merged by write_shard_records into a new shard file. Reports term
// frames read per second, best of three, and the peak RSS of the merges.
//
//   merge_bench [runs=128] [terms per run=100000] [directory]
//
// The runs stay in the page cache: this measures the merge and the store
// writes, not the disk.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "fullmap/build/shard_writer.h"
#include "fullmap/build/term_map.h"
#include "fullmap/build/term_run.h"
#include "fullmap/store/writable_database.h"

namespace {

using namespace corv::fullmap;
using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "merge_bench: %s\n", what.c_str());
  std::exit(1);
}

const char* const kWords[] = {"protein", "kinase", "receptor", "alpha",   "beta",    "acid",   "syndrome", "type",
                              "disease", "factor", "binding",  "domain",  "channel", "sodium", "tumor",    "growth",
                              "hormone", "family", "member",   "subunit", "human",   "mouse",  "complex",  "like"};

std::string make_term(uint64_t n) {
  std::mt19937_64 rng(n);
  std::string s;
  const size_t words = 1 + rng() % 4;
  for (size_t i = 0; i < words; ++i) {
    if (i) s += ' ';
    s += kWords[rng() % std::size(kWords)];
  }
  s += ' ';
  s += std::to_string(n);
  return s;
}

// `runs` spills of `per_run` terms each from a pool of runs * per_run / 2.
std::vector<std::filesystem::path> make_runs(const std::filesystem::path& dir, size_t runs, size_t per_run,
                                             uint64_t& frames) {
  std::mt19937_64 rng(20261207);
  const uint64_t pool = std::max<uint64_t>(1, runs * per_run / 2);
  std::vector<std::filesystem::path> paths;
  const auto held = corv::HeldDirectory::open(dir).value();
  TermMap map;
  for (size_t r = 0; r < runs; ++r) {
    while (!map.holds_at_least(per_run)) {
      const std::string term = make_term(rng() % pool);
      const size_t postings = 1 + rng() % 3;
      for (size_t p = 0; p < postings; ++p) {
        map.add(term, {static_cast<uint32_t>(rng() % 50000000), static_cast<uint8_t>(rng() % 8)});
      }
    }
    frames += map.size();
    auto files = spill_run(map, held, r, 1);
    if (!files) die(files.error().message);
    for (auto& f : *files) paths.push_back(dir / f.name);
  }
  return paths;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t runs = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 128;
  const size_t per_run = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 100000;
  const char* tmp = std::getenv("CORV_TEST_TMP");
  const std::filesystem::path base = argc > 3 ? argv[3] : (tmp ? tmp : "/tmp");
  const std::filesystem::path dir = base / "merge-bench";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);

  uint64_t frames = 0;
  const auto paths = make_runs(dir, runs, per_run, frames);
  uint64_t run_bytes = 0;
  for (const auto& p : paths) run_bytes += std::filesystem::file_size(p);
  std::printf("%zu runs, %llu frames, %.1f MiB of runs\n", paths.size(), static_cast<unsigned long long>(frames),
              static_cast<double>(run_bytes) / (1 << 20));

  const auto held = corv::HeldDirectory::open(dir).value();
  std::vector<std::string> names;
  for (const auto& p : paths) names.push_back(p.filename());
  double best = 0;
  uint64_t records = 0;
  for (int round = 0; round < 3; ++round) {
    const auto shard = dir / "shard.db";
    std::filesystem::remove(shard);
    auto db = WritableDatabase::create(shard, size_t{128} << 20);
    if (!db) die(db.error().message);
    std::atomic<uint64_t> written{0};
    const auto start = Clock::now();
    auto n = write_shard_records(*db, held, names, 2000000, 0, written, 0, nullptr, 1);
    const double s = std::chrono::duration<double>(Clock::now() - start).count();
    if (!n) die(n.error().message);
    records = *n;
    best = std::max(best, static_cast<double>(frames) / s);
    if (auto closed = db->close(); !closed) die(closed.error().message);
  }
  struct rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  std::printf("merge + write: %.2f M frames/s (%llu records), peak RSS %.0f MiB\n", best / 1e6,
              static_cast<unsigned long long>(records), static_cast<double>(usage.ru_maxrss) / 1024);
  std::filesystem::remove_all(dir);
  return 0;
}
