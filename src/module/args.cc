#include "module/args.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace corv::module {
namespace {

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const size_t n = sig.params.size();
  if (sig.required == n) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given", sig.function, n, given,
                 given == 1 ? "was" : "were");
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd were given", sig.function,
                 sig.required, n, given);
  }
  return false;
}

// 'a'  |  'a' and 'b'  |  'a', 'b', and 'c'
std::string join_quoted(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else {
        out += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

}  // namespace

bool BoundArgs::bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  sig_ = &sig;
  slots_.fill(nullptr);
  const size_t n = sig.params.size();
  if (n > kMaxParams) throw std::logic_error("signature has more parameters than the binder holds");
  const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
  if (static_cast<size_t>(npos) > n) return too_many_positional(sig, npos);
  for (Py_ssize_t i = 0; i < npos; ++i) slots_[static_cast<size_t>(i)] = args[i];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    size_t match = n;
    for (size_t p = 0; p < n; ++p) {
      if (PyUnicode_Check(key) && PyUnicode_EqualToUTF8(key, sig.params[p])) {
        match = p;
        break;
      }
    }
    if (match == n) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.function, key);
      return false;
    }
    if (slots_[match] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function, sig.params[match]);
      return false;
    }
    slots_[match] = args[npos + k];
  }

  std::vector<const char*> missing;
  for (size_t p = 0; p < sig.required; ++p) {
    if (slots_[p] == nullptr) missing.push_back(sig.params[p]);
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.function, missing.size(),
                 missing.size() == 1 ? "" : "s", join_quoted(missing).c_str());
    return false;
  }
  return true;
}

}  // namespace corv::module
