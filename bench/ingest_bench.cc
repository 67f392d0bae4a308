// Synonym ingest throughput: generated synonym files, plain and gzip, read
// by process_synonyms with 1 and with 8 workers. Reports MB/s of
// uncompressed input (total and per worker) and each run's peak resident
// memory beside the bound that the spill settings imply.
//
//   ingest_bench [megabytes=256] [files=8] [dir] [only]
//
// `only` picks one configuration, e.g. "plain:1" or "gzip:8" (for profiling).
//
// Each configuration runs in a forked child, so its peak RSS is its own.
// Spill settings come from the environment as in a build
// (CORVANTILE_FULLMAP_LOCAL_SPILL_ENTRIES, _CURIE_SPILL_ENTRIES, _CHUNK_BYTES).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "fullmap/build/build_settings.h"
#include "fullmap/build/equiv_index.h"
#include "fullmap/build/process_synonyms.h"

namespace {

namespace fs = std::filesystem;
using corv::fullmap::BuildSettings;
using corv::fullmap::EquivIndex;
using Clock = std::chrono::steady_clock;

constexpr const char* kPrefixes[] = {"HGNC", "MONDO", "CHEBI", "NCBIGene", "UniProtKB", "DRUGBANK",
                                     "UMLS", "MESH",  "HP",    "GO",       "NCIT",      "ENSEMBL"};
// Categories with their ancestries, as synonym files list them: the first
// entry names the category, the rest only adds bytes to the row.
const std::vector<std::vector<const char*>> kTypes = {
    {"biolink:Gene", "biolink:GeneOrGeneProduct", "biolink:GenomicEntity", "biolink:ChemicalEntityOrGeneOrGeneProduct",
     "biolink:PhysicalEssence", "biolink:OntologyClass", "biolink:BiologicalEntity", "biolink:ThingWithTaxon",
     "biolink:NamedThing", "biolink:Entity", "biolink:PhysicalEssenceOrOccurrent",
     "biolink:MacromolecularMachineMixin"},
    {"biolink:Disease", "biolink:DiseaseOrPhenotypicFeature", "biolink:BiologicalEntity", "biolink:ThingWithTaxon",
     "biolink:NamedThing", "biolink:Entity"},
    {"biolink:SmallMolecule", "biolink:MolecularEntity", "biolink:ChemicalEntity", "biolink:PhysicalEssence",
     "biolink:ChemicalOrDrugOrTreatment", "biolink:NamedThing", "biolink:Entity"},
    {"biolink:Protein", "biolink:GeneProductMixin", "biolink:Polypeptide", "biolink:BiologicalEntity",
     "biolink:NamedThing", "biolink:Entity"},
    {"biolink:PhenotypicFeature", "biolink:DiseaseOrPhenotypicFeature", "biolink:BiologicalEntity",
     "biolink:NamedThing", "biolink:Entity"},
};
constexpr const char* kTaxa[] = {"NCBITaxon:9606", "NCBITaxon:10090", "NCBITaxon:10116"};

std::string word(std::mt19937_64& rng) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-";
  std::string w;
  size_t len = 3 + rng() % 9;
  for (size_t i = 0; i < len; ++i) w += kLetters[rng() % (sizeof(kLetters) - 1)];
  return w;
}

// One row: a CURIE (every 8th repeats an earlier one), two to four names of
// one to four words, a category with its ancestry, usually a taxon and a
// preferred name.
std::string row(std::mt19937_64& rng, uint64_t n) {
  uint64_t id = n % 8 == 7 ? rng() % (n + 1) : n;
  std::string line = "{\"curie\":\"";
  line += kPrefixes[id % std::size(kPrefixes)];
  line += ':';
  line += std::to_string(id);
  line += "\",\"names\":[";
  size_t names = 2 + rng() % 3;
  std::string first;
  for (size_t i = 0; i < names; ++i) {
    std::string name;
    size_t words = 1 + rng() % 4;
    for (size_t k = 0; k < words; ++k) {
      if (k) name += ' ';
      name += word(rng);
    }
    if (i == 0) first = name;
    line += i ? ",\"" : "\"";
    line += name;
    line += '"';
  }
  line += "],\"types\":[";
  const auto& types = kTypes[rng() % kTypes.size()];
  for (size_t i = 0; i < types.size(); ++i) {
    line += i ? ",\"" : "\"";
    line += types[i];
    line += '"';
  }
  line += ']';
  if (rng() % 4 != 0) {
    line += ",\"taxa\":[\"";
    line += kTaxa[rng() % std::size(kTaxa)];
    line += "\"]";
  }
  line += ",\"preferred_name\":\"";
  line += first;
  line += "\"}\n";
  return line;
}

// Writes `files` plain files of about `bytes` in all, and a gzip copy of
// each. Returns the uncompressed size.
uint64_t generate(const fs::path& dir, uint64_t bytes, size_t files, uint64_t& rows) {
  fs::create_directories(dir / "plain");
  fs::create_directories(dir / "gz");
  std::mt19937_64 rng(7);
  uint64_t total = 0;
  uint64_t n = 0;
  for (size_t f = 0; f < files; ++f) {
    const std::string name = "source" + std::to_string(f) + ".ndjson";
    std::ofstream plain(dir / "plain" / name, std::ios::binary);
    gzFile packed = gzopen((dir / "gz" / (name + ".gz")).c_str(), "wb6");
    if (!plain || packed == nullptr) {
      std::fprintf(stderr, "cannot write test data under %s\n", dir.c_str());
      std::exit(1);
    }
    uint64_t written = 0;
    std::string block;
    while (written < bytes / files) {
      block.clear();
      while (block.size() < (1 << 20)) block += row(rng, n++);
      plain.write(block.data(), static_cast<std::streamsize>(block.size()));
      gzwrite(packed, block.data(), static_cast<unsigned>(block.size()));
      written += block.size();
    }
    gzclose(packed);
    total += written;
  }
  rows = n;
  return total;
}

// Runs one ingest in this (child) process and prints its line.
int run_one(const fs::path& dir, bool gz, size_t workers, uint64_t input_bytes, const BuildSettings& s) {
  const fs::path spill = dir / ("spill_" + std::to_string(workers) + (gz ? "_gz" : ""));
  fs::remove_all(spill);
  fs::create_directories(spill);
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(dir / (gz ? "gz" : "plain"))) files.push_back(entry.path());
  std::sort(files.begin(), files.end());

  const auto held = corv::HeldDirectory::open(spill).value();
  auto equiv = EquivIndex::build({}, held, std::nullopt, nullptr);
  if (!equiv) {
    std::fprintf(stderr, "%s\n", equiv.error().message.c_str());
    return 1;
  }
  const size_t producers = std::min(files.size(), std::max<size_t>(workers / 4, 4));
  auto start = Clock::now();
  auto out = corv::fullmap::process_synonyms(files, *equiv,
                                             {.spill = &held,
                                              .local_spill_entries = s.local_spill_entries,
                                              .curie_spill_entries = s.curie_spill_entries,
                                              .threads = workers,
                                              .shard_count = 16,
                                              .chunk_bytes = s.chunk_bytes,
                                              .producers = producers});
  double secs = std::chrono::duration<double>(Clock::now() - start).count();
  if (!out) {
    std::fprintf(stderr, "ingest failed: %s\n", out.error().message.c_str());
    return 1;
  }
  size_t term_files = 0;
  for (const auto& shard : out->term_runs) term_files += shard.size();
  double mbs = static_cast<double>(input_bytes) / 1e6 / secs;
  std::printf(
      "%-5s workers=%zu producers=%zu  %6.2f s  %8.1f MB/s  %7.1f MB/s per worker  "
      "(%zu term runs, %zu curie runs)\n",
      gz ? "gzip" : "plain", workers, producers, secs, mbs, mbs / static_cast<double>(workers), term_files,
      out->curie_runs.size());
  std::fflush(stdout);
  fs::remove_all(spill);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  const size_t files = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 8;
  const fs::path dir = argc > 3 ? fs::path(argv[3]) : fs::temp_directory_path() / "ingest_bench";
  const std::string only = argc > 4 ? argv[4] : "";
  const BuildSettings settings = corv::fullmap::read_build_settings(dir / "bench.redb", files, 1);

  fs::remove_all(dir);
  uint64_t rows = 0;
  const uint64_t input_bytes = generate(dir, megabytes * 1000000, files, rows);
  std::printf(
      "input: %zu files, %.1f MB uncompressed, %.2f M rows (%.0f bytes a row); spill entries: "
      "terms %zu, rows %zu; chunk %zu bytes\n",
      files, static_cast<double>(input_bytes) / 1e6, static_cast<double>(rows) / 1e6,
      static_cast<double>(input_bytes) / static_cast<double>(rows), settings.local_spill_entries,
      settings.curie_spill_entries, settings.chunk_bytes);

  for (bool gz : {false, true}) {
    for (size_t workers : {size_t{1}, size_t{8}}) {
      if (!only.empty() && only != (gz ? "gzip:" : "plain:") + std::to_string(workers)) continue;
      std::fflush(stdout);
      pid_t child = fork();
      if (child == 0) _exit(run_one(dir, gz, workers, input_bytes, settings));
      int status = 0;
      rusage usage{};
      wait4(child, &status, 0, &usage);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
      // What the settings bound: per worker a term map and a row batch, plus
      // the queued chunks (workers), the ones being filled (producers) and
      // the ones being processed (workers). A term entry costs about 350
      // bytes at its peak (a table slot at up to twice the entry count, the
      // key and postings on the heap, and the spill's partitioned copy that
      // grows by doubling); a row about 96.
      const size_t producers = std::min(files, std::max<size_t>(workers / 4, 4));
      const double bound_mib =
          (static_cast<double>(workers) * (static_cast<double>(settings.local_spill_entries) * 350.0 +
                                           static_cast<double>(settings.curie_spill_entries) * 96.0) +
           static_cast<double>(2 * workers + producers) * static_cast<double>(settings.chunk_bytes)) /
          (1 << 20);
      const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
      std::printf("      peak RSS %.0f MiB (settings imply about %.0f MiB); CPU %.1f s (%.1f s system)\n",
                  static_cast<double>(usage.ru_maxrss) / 1024.0, bound_mib, cpu,
                  static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) / 1e6);
    }
  }
  fs::remove_all(dir);
  return 0;
}
