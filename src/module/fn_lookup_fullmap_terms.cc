#include <cstddef>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fullmap/lookup/pair_lookup.h"
#include "fullmap/lookup/row_lookup.h"
#include "module/args.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/fullmap_results.h"
#include "module/functions.h"
#include "module/gil.h"

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

constexpr const char* kRowKeys[] = {"term",     "CURIE",       "PREFERRED_NAME", "CATEGORY_NAME",
                                    "TAXON_ID", "SOURCE_NAME", "SOURCE_VERSION"};
constexpr const char* kPairKeys[] = {"term", "records"};

// Results this large are freed with the GIL released.
constexpr size_t kFreeWithoutGil = 4096;

size_t size_of(const fullmap::PairsResult& pairs) { return pairs.size(); }
size_t size_of(const fullmap::RowsResult& rows) { return rows.records.size(); }

template <class T>
void drop(T& result) {
  if (size_of(result) < kFreeWithoutGil) return;
  GilReleased released;
  T gone = std::move(result);
}

PyObject* rows_to_python(const fullmap::RowsResult& rows) {
  PyRef keys[std::size(kRowKeys)];
  if (!intern_keys(kRowKeys, keys)) return nullptr;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(rows.records.size())));
  if (!list) return nullptr;

  SharedTextStrs texts;
  Py_ssize_t at = 0;
  for (const fullmap::RowEntry& entry : rows.entries) {
    if (entry.records.empty()) continue;
    PyRef term = str_object(entry.term);
    if (!term) return nullptr;
    for (const fullmap::FullmapRecord& record : entry.records) {
      PyRef dict(_PyDict_NewPresized(std::size(kRowKeys)));
      if (!dict || !set_borrowed(dict.get(), keys[0].get(), term.get()) ||
          !set_borrowed(dict.get(), keys[1].get(), texts.get(record.curie)) ||
          !set_borrowed(dict.get(), keys[2].get(), texts.get(record.preferred_name)) ||
          !set_borrowed(dict.get(), keys[3].get(), texts.get(record.category_name)) ||
          !set_owned(dict.get(), keys[4].get(), PyRef(PyLong_FromLongLong(record.taxon_id))) ||
          !set_borrowed(dict.get(), keys[5].get(), texts.get(record.source_name)) ||
          !set_borrowed(dict.get(), keys[6].get(), texts.get(record.source_version))) {
        return nullptr;
      }
      PyList_SET_ITEM(list.get(), at++, dict.release());
    }
  }
  return list.release();
}

PyObject* postings_to_python(const std::vector<fullmap::TermPosting>& postings) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(postings.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < postings.size(); ++i) {
    PyRef curie_id(PyLong_FromUnsignedLong(postings[i].curie_id));
    PyRef source_id(PyLong_FromUnsignedLong(postings[i].source_id));
    if (!curie_id || !source_id) return nullptr;
    PyRef pair(PyTuple_New(2));
    if (!pair) return nullptr;
    PyTuple_SET_ITEM(pair.get(), 0, curie_id.release());
    PyTuple_SET_ITEM(pair.get(), 1, source_id.release());
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return list.release();
}

PyObject* pairs_to_python(const fullmap::PairsResult& pairs) {
  PyRef keys[std::size(kPairKeys)];
  if (!intern_keys(kPairKeys, keys)) return nullptr;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < pairs.size(); ++i) {
    PyRef dict(_PyDict_NewPresized(std::size(kPairKeys)));
    if (!dict || !set_owned(dict.get(), keys[0].get(), str_object(pairs[i].term)) ||
        !set_owned(dict.get(), keys[1].get(), PyRef(postings_to_python(pairs[i].postings)))) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
  }
  return list.release();
}

// The lookup runs without the GIL; a fault inside it takes the GIL back
// (GilReleased) before the boundary raises it.
template <class Lookup, class ToPython>
PyObject* run_lookup(Lookup&& lookup, ToPython&& to_python) {
  auto result = [&] {
    GilReleased released;
    return lookup();
  }();
  if (!result) return raise(result.error());
  PyObject* out = nullptr;
  {
    GcPaused paused;
    out = to_python(*result);
  }
  drop(*result);
  return out;
}

PyObject* run(LookupArgs args, ReturnFormat format) {
  if (format == ReturnFormat::kRows) {
    return run_lookup([&] { return fullmap::lookup_terms(std::move(args.db), std::move(args.terms), args.threads); },
                      rows_to_python);
  }
  return run_lookup([&] { return fullmap::lookup_pair_terms(std::move(args.db), std::move(args.terms), args.threads); },
                    pairs_to_python);
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
