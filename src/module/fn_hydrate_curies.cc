#include <cstdint>
#include <filesystem>
#include <utility>
#include <vector>

#include "module/args.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/functions.h"

namespace corv::module {
namespace {

constexpr const char* kParams[] = {"db", "curie_ids"};
constexpr Signature kSignature{"hydrate_curies", kParams, 2};

struct HydrateCuriesArgs {
  std::filesystem::path db;
  std::vector<uint32_t> curie_ids;
};

bool convert_args(const BoundArgs& bound, HydrateCuriesArgs& out) {
  return bound.convert(0, out.db, to_path) && bound.convert(1, out.curie_ids, to_u32_list);
}

PyObject* run([[maybe_unused]] HydrateCuriesArgs args) { return raise(Error::runtime("not available yet")); }

}  // namespace

PyObject* py_hydrate_curies(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    BoundArgs bound;
    HydrateCuriesArgs converted;
    if (!bound.bind(kSignature, args, nargsf, kwnames) || !convert_args(bound, converted)) return nullptr;
    return run(std::move(converted));
  });
}

}  // namespace corv::module
