// Building the Python results of the fullmap lookup and hydrate functions.
// Every builder holds the GIL, returns a new reference, or nullptr with the
// Python exception set (the partial result is dropped).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "module/py_ref.h"

namespace corv::module {

// A str from text that the store has already checked to be UTF-8.
inline PyRef str_object(std::string_view text) {
  return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// Hands out one str for a run of equal texts: neighbouring records often
// repeat a CURIE, name, category or source. The texts must outlive it.
class RepeatedStr {
 public:
  // Borrowed; nullptr with an exception set.
  PyObject* get(std::string_view text) {
    if (!last_ || text != text_) {
      last_ = str_object(text);
      text_ = text;
    }
    return last_.get();
  }

 private:
  std::string_view text_;
  PyRef last_;
};

// One str per shared text: records of one answer point into the same stored
// texts, so a text is recognised by where it lives (same address and size,
// hence same bytes) and turned into a str once. Direct-mapped; a collision
// only costs a fresh str. The texts must outlive it.
class SharedTextStrs {
 public:
  SharedTextStrs() : slots_(kSlots) {}

  // Borrowed; nullptr with an exception set.
  PyObject* get(std::string_view text) {
    const auto address = reinterpret_cast<uintptr_t>(text.data());
    Slot& slot = slots_[((address >> 3) * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits)];
    if (slot.obj && slot.data == text.data() && slot.size == text.size()) return slot.obj.get();
    slot.obj = str_object(text);
    slot.data = text.data();
    slot.size = text.size();
    return slot.obj.get();
  }

 private:
  static constexpr int kSlotBits = 14;
  static constexpr size_t kSlots = size_t{1} << kSlotBits;
  struct Slot {
    const char* data = nullptr;
    size_t size = 0;
    PyRef obj;
  };
  std::vector<Slot> slots_;
};

// Pauses the cyclic garbage collector while a large result is built: the
// result's lists, tuples and dicts hold no cycles, and a collection every few
// thousand new containers would walk them over and over. The previous state
// is restored; the GIL is held throughout, so no other thread sees the pause.
class GcPaused {
 public:
  GcPaused() : was_enabled_(PyGC_Disable() == 1) {}
  ~GcPaused() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPaused(const GcPaused&) = delete;
  GcPaused& operator=(const GcPaused&) = delete;

 private:
  bool was_enabled_;
};

// Interned keys, made once per call.
template <size_t N>
bool intern_keys(const char* const (&names)[N], PyRef (&keys)[N]) {
  for (size_t i = 0; i < N; ++i) {
    keys[i] = PyRef(PyUnicode_InternFromString(names[i]));
    if (!keys[i]) return false;
  }
  return true;
}

// Stores a new reference under `key`; false with an exception set.
inline bool set_owned(PyObject* dict, PyObject* key, PyRef value) {
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

// Stores a borrowed value under `key`; false with an exception set.
inline bool set_borrowed(PyObject* dict, PyObject* key, PyObject* value) {
  return value != nullptr && PyDict_SetItem(dict, key, value) == 0;
}

// A list of str, one per text.
inline PyObject* str_list(const std::vector<std::string_view>& texts) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  RepeatedStr str;  // gaps repeat the empty string
  for (size_t i = 0; i < texts.size(); ++i) {
    PyObject* item = str.get(texts[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(item));
  }
  return list.release();
}

}  // namespace corv::module
