#ifndef VORNAK_LIB_CONVERT_H
#define VORNAK_LIB_CONVERT_H

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "graph/dag.h"
#include "lib/errors.h"
#include "lib/pyref.h"

// Conversions of Python values into the core's values. Each takes a borrowed object and
// throws PythonError with the conversion's exception set when the value is refused.
namespace vornak::py {

// A str (or subclass) as UTF-8. CAUTION: the view points into `obj` and lives as long as it.
std::string_view to_text(PyObject* obj);

// An int (or anything with __index__) from 0 to 2**64 - 1.
std::uint64_t to_u64(PyObject* obj);

// A float, or anything float() accepts through __float__ or __index__.
inline double to_double(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) throw_python_error();
  return value;
}

// The length a sequence reports, or 0 when it reports none (its error is cleared).
Py_ssize_t reported_length(PyObject* obj);

// The one reserve policy of the list conversions: calls reserve(n) with the reported
// length capped at a sane number of items, and drops a request that cannot be met. The
// items are appended one by one, so reserving less, or nothing, only costs time; a length
// that a sequence merely claims must not fail the call.
template <typename Reserve>
void reserve_for(Reserve& reserve, Py_ssize_t length) noexcept {
  // A length is only a hint: past this, room grows as items arrive.
  constexpr std::size_t kMostReserved = std::size_t{1} << 27;
  try {
    reserve(std::min(static_cast<std::size_t>(length), kMostReserved));
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
}

// Walks a sequence for a list conversion: refuses a str and anything that is not a
// sequence, reserves room for its reported length through reserve(n) as reserve_for()
// does, then calls item(borrowed item) for each item in iteration order. Exact lists and
// tuples are read by index, re-reading the size at each step as their iterators do; each
// item is held while it is converted.
template <typename Reserve, typename Item>
void for_each_item(PyObject* obj, Reserve&& reserve, Item&& item) {
  if (PyList_CheckExact(obj)) {
    reserve_for(reserve, PyList_GET_SIZE(obj));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
      Ref held = Ref::borrow(PyList_GET_ITEM(obj, i));
      item(held.get());
    }
    return;
  }
  if (PyTuple_CheckExact(obj)) {
    reserve_for(reserve, PyTuple_GET_SIZE(obj));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) item(PyTuple_GET_ITEM(obj, i));
    return;
  }
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) raise_cast_error(obj, "Sequence");
  reserve_for(reserve, reported_length(obj));
  Ref iterator = Ref::steal(check(PyObject_GetIter(obj)));
  while (Ref next = Ref::steal(PyIter_Next(iterator.get()))) item(next.get());
  if (PyErr_Occurred()) throw_python_error();
}

// Checks that `obj` is a tuple (or subclass) of `length` items.
void check_tuple(PyObject* obj, Py_ssize_t length);

// Walks a dict (or subclass) through its own storage, calling entry(key, value) with both
// held. Ends in an internal failure if the dict changes size or yields more entries than it
// had at the start (only the conversion of an earlier entry can change it).
template <typename Entry>
void for_each_entry(PyObject* obj, Entry&& entry) {
  if (!PyDict_Check(obj)) raise_cast_error(obj, "dict");
  Py_ssize_t initial = PyDict_GET_SIZE(obj);
  Py_ssize_t pos = 0;
  Py_ssize_t yielded = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (;;) {
    if (PyDict_GET_SIZE(obj) != initial) {
      throw InternalFailure("dictionary changed size during iteration");
    }
    if (yielded > initial) throw InternalFailure("dictionary keys changed during iteration");
    if (!PyDict_Next(obj, &pos, &key, &value)) break;
    ++yielded;
    Ref held_key = Ref::borrow(key);
    Ref held_value = Ref::borrow(value);
    entry(held_key.get(), held_value.get());
  }
}

// Converts a sequence of qubit indices (not a str) into the open node of `nodes`.
void push_qubits(PyObject* obj, NodeStore& nodes);

// Interns str objects into a string pool, remembering recent objects by identity, so
// that a name shared by many instructions is looked up by text once. It holds a
// reference to each object it remembers, so no other object can take its address.
class TextCache {
 public:
  explicit TextCache(StringPool& strings) : strings_(strings) {}

  std::uint32_t intern(PyObject* obj) {
    Entry& entry = entries_[(reinterpret_cast<std::uintptr_t>(obj) >> 4) % entries_.size()];
    if (entry.obj.get() == obj) return entry.id;
    std::uint32_t id = strings_.intern(to_text(obj));
    if (PyUnicode_CheckExact(obj)) entry = {Ref::borrow(obj), id};
    return id;
  }

 private:
  struct Entry {
    Ref obj;
    std::uint32_t id = 0;
  };
  StringPool& strings_;
  std::array<Entry, 64> entries_;
};

// Converts a parameter dict (str to float) into the open node of `nodes`; intern(key)
// gives each key's string id.
template <typename Intern>
void push_params(PyObject* obj, Intern&& intern, NodeStore& nodes) {
  // Distinct keys of a dict have distinct texts unless a str subclass redefines equality.
  bool may_repeat = false;
  for_each_entry(obj, [&](PyObject* key, PyObject* value) {
    std::uint32_t id = intern(key);
    may_repeat |= !PyUnicode_CheckExact(key);
    nodes.push_param({id, to_double(value)});
  });
  if (may_repeat) nodes.dedupe_open_params();
}

// Converts one instruction (name, qubits, duration, params) into a node of `nodes`.
void push_instruction(PyObject* obj, TextCache& texts, NodeStore& nodes);

// Converts a dict of int to float.
std::unordered_map<Qubit, double> to_pulse_durations(PyObject* obj);

}  // namespace vornak::py

#endif
