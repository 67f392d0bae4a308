#include <string>
#include <utility>
#include <vector>

#include "module/args.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/functions.h"
#include "records/uuid.h"

namespace corv::module {
namespace {

constexpr const char* kParams[] = {"domain", "values"};
constexpr Signature kSignature{"namespace_uuid", kParams, 2};

struct NamespaceUuidArgs {
  std::string domain;
  std::vector<std::string> values;
};

bool convert_args(const BoundArgs& bound, NamespaceUuidArgs& out) {
  return bound.convert(0, out.domain, to_str) && bound.convert(1, out.values, to_str_list);
}

PyObject* run(NamespaceUuidArgs args) {
  std::string uuid = records::uuid_from_parts(args.domain, args.values);
  return PyUnicode_FromStringAndSize(uuid.data(), static_cast<Py_ssize_t>(uuid.size()));
}

}  // namespace

PyObject* py_namespace_uuid(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    BoundArgs bound;
    NamespaceUuidArgs converted;
    if (!bound.bind(kSignature, args, nargsf, kwnames) || !convert_args(bound, converted)) return nullptr;
    return run(std::move(converted));
  });
}

}  // namespace corv::module
