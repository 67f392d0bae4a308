#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/args.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/functions.h"

namespace corv::module {
namespace {

constexpr const char* kParams[] = {"db", "terms", "threads", "return_format"};
constexpr Signature kSignature{"lookup_fullmap_terms", kParams, 2};

enum class ReturnFormat { kRows, kPairs };

struct LookupArgs {
  std::filesystem::path db;
  std::vector<std::string> terms;
  std::optional<size_t> threads;
  std::string return_format = "rows";
};

bool convert_args(const BoundArgs& bound, LookupArgs& out) {
  return bound.convert(0, out.db, to_path) && bound.convert(1, out.terms, to_str_list) &&
         bound.convert_unless_none(2, out.threads, to_usize) && bound.convert(3, out.return_format, to_str);
}

std::optional<ReturnFormat> parse_return_format(const std::string& text) {
  if (text == "rows") return ReturnFormat::kRows;
  if (text == "pairs") return ReturnFormat::kPairs;
  return std::nullopt;
}

PyObject* run([[maybe_unused]] LookupArgs args, [[maybe_unused]] ReturnFormat format) {
  return raise(Error::runtime("not available yet"));
}

}  // namespace

PyObject* py_lookup_fullmap_terms(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    BoundArgs bound;
    LookupArgs converted;
    if (!bound.bind(kSignature, args, nargsf, kwnames) || !convert_args(bound, converted)) return nullptr;
    const std::optional<ReturnFormat> format = parse_return_format(converted.return_format);
    if (!format) return raise(Error::value("return_format must be 'rows' or 'pairs'"));
    return run(std::move(converted), *format);
  });
}

}  // namespace corv::module
