#include "fullmap/build/ingest_context.h"

#include <mutex>
#include <utility>

namespace corv::fullmap {

IngestContext::IngestContext(const EquivIndex& equiv_index, IngestOptions ingest_options)
    : equiv(equiv_index), options(std::move(ingest_options)), term_runs_(options.shard_count) {}

void IngestContext::add_term_runs(std::vector<ShardRun> files) {
  std::unique_lock lock(term_runs_mutex_);
  term_runs_poison_.check();
  PoisonOnUnwind poison_on_fault(term_runs_poison_);
  for (ShardRun& file : files) {
    if (file.shard >= term_runs_.size()) throw IngestFault("term run for a shard out of range");
    term_runs_[file.shard].push_back(std::move(file.name));
  }
}

void IngestContext::add_curie_run(std::string name) {
  std::unique_lock lock(curie_runs_mutex_);
  curie_runs_poison_.check();
  PoisonOnUnwind poison_on_fault(curie_runs_poison_);
  curie_runs_.push_back(std::move(name));
}

std::vector<std::vector<std::string>> IngestContext::take_term_runs() {
  std::unique_lock lock(term_runs_mutex_);
  term_runs_poison_.check();
  auto out = std::move(term_runs_);
  term_runs_.assign(options.shard_count, {});
  return out;
}

std::vector<std::string> IngestContext::take_curie_runs() {
  std::unique_lock lock(curie_runs_mutex_);
  curie_runs_poison_.check();
  return std::exchange(curie_runs_, {});
}

}  // namespace corv::fullmap
