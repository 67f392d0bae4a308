#include <filesystem>
#include <string>
#include <utility>

#include "module/args.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/functions.h"
#include "records/ndjson_dedup.h"

namespace corv::module {
namespace {

constexpr const char* kParams[] = {"input", "output", "is_edges", "domain"};
constexpr Signature kSignature{"dedup_ndjson", kParams, 3};

struct DedupArgs {
  std::filesystem::path input;
  std::filesystem::path output;
  bool is_edges = false;
  std::string domain = "CORVANTILE";
};

bool convert_args(const BoundArgs& bound, DedupArgs& out) {
  return bound.convert(0, out.input, to_path) && bound.convert(1, out.output, to_path) &&
         bound.convert(2, out.is_edges, to_bool) && bound.convert_unless_none(3, out.domain, to_str);
}

PyObject* run(DedupArgs args) {
  auto done = records::dedup_ndjson(args.input, args.output, args.is_edges, args.domain);
  if (!done) return raise(done.error());
  Py_RETURN_NONE;
}

}  // namespace

PyObject* py_dedup_ndjson(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    BoundArgs bound;
    DedupArgs converted;
    if (!bound.bind(kSignature, args, nargsf, kwnames) || !convert_args(bound, converted)) return nullptr;
    return run(std::move(converted));
  });
}

}  // namespace corv::module
