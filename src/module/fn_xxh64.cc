#include <xxhash.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "module/args.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/functions.h"

namespace corv::module {
namespace {

constexpr const char* kParams[] = {"data"};
constexpr Signature kSignature{"xxh64", kParams, 1};

}  // namespace

PyObject* py_xxh64(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    BoundArgs bound;
    std::string data;
    if (!bound.bind(kSignature, args, nargsf, kwnames) || !bound.convert(0, data, to_str)) return nullptr;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016" PRIx64, static_cast<uint64_t>(XXH64(data.data(), data.size(), 0)));
    return PyUnicode_FromStringAndSize(hex, 16);
  });
}

}  // namespace corv::module
