#include <cstddef>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "fullmap/build/build_pipeline.h"
#include "fullmap/store/db_cache.h"
#include "fullmap/store/layout.h"
#include "module/args.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/functions.h"
#include "module/gil.h"

namespace corv::module {
namespace {

constexpr const char* kParams[] = {"output", "classes", "synonyms", "threads", "progress"};
constexpr Signature kSignature{"build_fullmap_db", kParams, 3};

struct BuildArgs {
  std::filesystem::path output;
  std::vector<std::filesystem::path> classes;
  std::vector<std::filesystem::path> synonyms;
  std::optional<size_t> threads;
  fullmap::ProgressHandle progress;  // null when not given
};

bool convert_args(const BoundArgs& bound, BuildArgs& out) {
  return bound.convert(0, out.output, to_path) && bound.convert(1, out.classes, to_path_list) &&
         bound.convert(2, out.synonyms, to_path_list) && bound.convert_unless_none(3, out.threads, to_usize) &&
         bound.convert_unless_none(4, out.progress, to_progress);
}

PyObject* run(BuildArgs args) {
  auto prepared =
      fullmap::prepare_build(args.output, args.classes, args.synonyms, args.threads, args.progress != nullptr);
  if (!prepared) return raise(prepared.error());

  Status built;
  {
    // The pipeline owns the progress handle; dropping it without the GIL
    // queues the Python release until ~GilReleased takes the GIL back. A
    // fault escaping the pipeline also passes through ~GilReleased first.
    GilReleased released;
    built = fullmap::build_fullmap_inner(prepared->lock.directory(), args.output, std::move(args.classes),
                                         std::move(args.synonyms), prepared->threads, fullmap::kBuildShardCount,
                                         std::move(args.progress), std::move(prepared->settings), prepared->spill);
  }
  if (!built) return raise(built.error());
  // The fullmap is complete and in place, so nothing here fails the build:
  // without an entry, the next lookup opens the file itself.
  (void)fullmap::cache_database(prepared->lock.directory(), args.output);
  Py_RETURN_NONE;
}

}  // namespace

PyObject* py_build_fullmap_db(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    BoundArgs bound;
    BuildArgs converted;
    if (!bound.bind(kSignature, args, nargsf, kwnames) || !convert_args(bound, converted)) return nullptr;
    return run(std::move(converted));
  });
}

}  // namespace corv::module
