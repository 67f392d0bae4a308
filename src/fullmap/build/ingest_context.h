// State shared by every thread of the synonym ingest: the interning maps
// with their id counters, the run counters and the lists of written runs.
// Created before the threads start; read alone by the creating thread after
// the last join.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <shared_mutex>
#include <vector>

#include "fullmap/build/ingest_fault.h"
#include "fullmap/build/process_synonyms.h"
#include "fullmap/build/sharded_map.h"
#include "fullmap/build/term_run.h"

namespace corv::fullmap {

class IngestContext {
 public:
  IngestContext(const EquivIndex& equiv, IngestOptions options);
  IngestContext(const IngestContext&) = delete;
  IngestContext& operator=(const IngestContext&) = delete;

  ShardedMap prefixes;
  std::atomic<uint32_t> next_prefix_id{0};
  ShardedMap categories;
  std::atomic<uint32_t> next_category_id{0};
  CurieIdMap curie_ids;
  std::atomic<uint64_t> next_curie_id{0};

  const EquivIndex& equiv;
  const IngestOptions options;

  std::atomic<uint64_t> next_term_run{0};
  std::atomic<uint64_t> next_curie_run{0};

  // Records the files of one finished term spill, each under its shard.
  void add_term_runs(std::vector<ShardRun> files);
  void add_curie_run(std::string name);

  // For the creating thread once every ingest thread has been joined.
  std::vector<std::vector<std::string>> take_term_runs();
  std::vector<std::string> take_curie_runs();

 private:
  std::shared_mutex term_runs_mutex_;
  PoisonFlag term_runs_poison_;
  std::vector<std::vector<std::string>> term_runs_;

  std::shared_mutex curie_runs_mutex_;
  PoisonFlag curie_runs_poison_;
  std::vector<std::string> curie_runs_;
};

}  // namespace corv::fullmap
