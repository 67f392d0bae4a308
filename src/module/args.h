// Binding of a fast-call argument vector (positional values plus keyword
// names) to a function's parameters, and their conversion in parameter
// order. Every parameter is positional-or-keyword.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "module/errors.h"

namespace corv::module {

struct Signature {
  const char* function;
  std::span<const char* const> params;
  size_t required;  // the first `required` params; the rest are optional
};

inline constexpr size_t kMaxParams = 8;

class BoundArgs {
 public:
  // Fills the parameters from a METH_FASTCALL | METH_KEYWORDS call. False with
  // TypeError set when the call does not fit the signature.
  bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

  // Borrowed; nullptr when the parameter was not given.
  PyObject* get(size_t i) const { return slots_[i]; }

  // Converts parameter i with `conv(PyObject*, Out&) -> bool` when it was
  // given; a parameter not given leaves `out` as it is. On failure the
  // exception gets the note naming the parameter and false is returned.
  template <class Out, class Conv>
  bool convert(size_t i, Out& out, Conv&& conv) const {
    return slots_[i] == nullptr || run(i, slots_[i], out, conv);
  }

  // As convert, but an explicit None also counts as not given.
  template <class Out, class Conv>
  bool convert_unless_none(size_t i, Out& out, Conv&& conv) const {
    return slots_[i] == nullptr || slots_[i] == Py_None || run(i, slots_[i], out, conv);
  }

 private:
  template <class Out, class Conv>
  bool run(size_t i, PyObject* obj, Out& out, Conv& conv) const {
    bool ok;
    if constexpr (std::is_invocable_r_v<bool, Conv&, PyObject*, Out&>) {
      ok = conv(obj, out);
    } else {  // Out is std::optional<T> and conv fills a T
      ok = conv(obj, out.emplace());
      if (!ok) out.reset();
    }
    if (!ok) note_parameter(sig_->params[i]);
    return ok;
  }

  const Signature* sig_ = nullptr;
  std::array<PyObject*, kMaxParams> slots_{};
};

}  // namespace corv::module
