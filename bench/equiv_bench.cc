// Builds the equivalence index from generated class files and reports time
// and peak resident memory.
//
//   equiv_bench [rows=10000000] [ids_per_row=2] [files=8] [threads=8] [dir]
//
// Each row is {"id":"P:n","equivalent_identifiers":[...]} with ids_per_row
// identifiers, so the defaults give 20 million identifiers under 10 million
// keys. Every 16th row repeats an earlier key in another file, so the merge
// also joins lists. The spill threshold comes from the environment as in a
// build (CORVANTILE_FULLMAP_EQUIV_SPILL_ENTRIES).
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fullmap/build/build_settings.h"
#include "fullmap/build/equiv_index.h"
#include "oneapi/tbb/task_arena.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is KiB on Linux
}

double current_rss_mib() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  unsigned long pages = 0, resident = 0;
  if (std::fscanf(f, "%lu %lu", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

void write_class_file(const std::filesystem::path& path, uint64_t first, uint64_t rows, uint64_t total_rows,
                      unsigned ids_per_row) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::vector<char> buffer(8 << 20);
  std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
  for (uint64_t r = first; r < first + rows; ++r) {
    // Every 16th row reuses the key of a row from the far side of the range
    // (one whose own key is not reused), so lists from two files merge.
    uint64_t key = r % 16 == 15 ? (r + total_rows / 2 - 8) % total_rows : r;
    std::fprintf(f, "{\"id\":\"NCBIGene:%" PRIu64 "\",\"equivalent_identifiers\":[", key);
    for (unsigned i = 0; i < ids_per_row; ++i) {
      std::fprintf(f, "%s{\"identifier\":\"SRC%u:%" PRIu64 "\"}", i ? "," : "", i, r);
    }
    std::fputs("]}\n", f);
  }
  std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000'000;
  unsigned ids_per_row = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 2;
  unsigned files = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 8;
  int threads = argc > 4 ? std::atoi(argv[4]) : 8;
  std::filesystem::path dir = argc > 5 ? argv[5] : std::filesystem::temp_directory_path() / "equiv_bench";
  if (files == 0 || rows == 0 || threads <= 0) {
    std::fprintf(stderr, "rows, files and threads must be positive\n");
    return 2;
  }

  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "spill");
  auto start = Clock::now();
  std::vector<std::filesystem::path> classes;
  {
    std::vector<std::thread> writers;
    uint64_t per_file = rows / files;
    for (unsigned i = 0; i < files; ++i) {
      uint64_t first = i * per_file;
      uint64_t count = i + 1 == files ? rows - first : per_file;
      classes.push_back(dir / ("classes_" + std::to_string(i) + ".ndjson"));
      writers.emplace_back(write_class_file, classes.back(), first, count, rows, ids_per_row);
    }
    for (auto& t : writers) t.join();
  }
  uintmax_t input_bytes = 0;
  for (auto& p : classes) input_bytes += std::filesystem::file_size(p);
  std::printf("generated %" PRIu64 " rows, %" PRIu64 " identifiers, %.1f MiB in %u files: %.1f s\n", rows,
              rows * ids_per_row, static_cast<double>(input_bytes) / (1 << 20), files, seconds_since(start));

  const size_t spill_entries = corv::fullmap::read_equiv_spill_entries();
  const double rss_before = current_rss_mib();
  start = Clock::now();
  tbb::task_arena arena(threads);
  const auto spill = corv::HeldDirectory::open(dir / "spill").value();
  corv::Result<corv::fullmap::EquivIndex> index =
      arena.execute([&] { return corv::fullmap::EquivIndex::build(classes, spill, spill_entries, nullptr); });
  const double build_seconds = seconds_since(start);
  if (!index) {
    std::fprintf(stderr, "build failed: %s\n", index.error().message.c_str());
    return 1;
  }
  const double peak = peak_rss_mib();
  malloc_trim(0);  // count live memory, not what the allocator keeps cached
  const double after = current_rss_mib();
  const double keys = static_cast<double>(index->size());
  std::printf("index: %zu keys, data file %.1f MiB, %d threads: %.2f s\n", index->size(),
              static_cast<double>(index->data_size()) / (1 << 20), threads, build_seconds);
  std::printf("rss before %.1f MiB, after build %.1f MiB (%.1f bytes/key), peak %.1f MiB\n", rss_before, after,
              (after - rss_before) * (1 << 20) / keys, peak);

  start = Clock::now();
  uint64_t visited = 0;
  const uint64_t probes = std::min<uint64_t>(rows, 2'000'000);
  for (uint64_t i = 0; i < probes; ++i) {
    std::string key = "NCBIGene:" + std::to_string((i * 7919) % rows);
    index->equivalents(key, [&](std::string_view) { ++visited; });
  }
  double lookup_seconds = seconds_since(start);
  std::printf("lookups: %" PRIu64 " probes, %" PRIu64 " identifiers visited, %.0f ns/probe\n", probes, visited,
              lookup_seconds * 1e9 / static_cast<double>(probes));

  // Drops and deletes the big file.
  index = corv::fullmap::EquivIndex::build({}, spill, spill_entries, nullptr);
  std::filesystem::remove_all(dir);
  return 0;
}
