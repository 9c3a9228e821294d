#ifndef VORNAK_QISKIT_PYTHON_VALUES_H
#define VORNAK_QISKIT_PYTHON_VALUES_H

// Python values read by the bridge, and the errors it raises.
#include "qiskit/capi.h"

#include <cstdint>
#include <string>

#include "lib/boundary.h"
#include "lib/pyref.h"

namespace vornak::bridge {

using py::check;
using py::PythonError;

// Raises `type` with `message` and throws PythonError (py::raise, under the bridge's name).
[[noreturn]] inline void fail(PyObject* type, const std::string& message) { py::raise(type, message); }

// The limited API's checked access to tuples and lists: items borrowed, sizes of objects
// known to be tuples or lists; the setters steal `item`, a new reference or null.
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) { return check(PyTuple_GetItem(tuple, i)); }
inline PyObject* list_item(PyObject* list, Py_ssize_t i) { return check(PyList_GetItem(list, i)); }
inline void set_tuple_item(PyObject* tuple, Py_ssize_t i, PyObject* item) {
  if (PyTuple_SetItem(tuple, i, check(item)) < 0) throw PythonError{};
}
inline void set_list_item(PyObject* list, Py_ssize_t i, PyObject* item) {
  if (PyList_SetItem(list, i, check(item)) < 0) throw PythonError{};
}

double to_double(PyObject* obj);
// A duration or time: finite and not negative, else a ValueError naming `what`.
double to_length(PyObject* obj, const char* what);
std::uint32_t to_u32(PyObject* obj);
// Field `name` of `owner`, which messages call `what` ("options", "plan"): a TypeError
// naming both where it has none.
py::Ref field(PyObject* owner, const char* what, const char* name);
// "[0, 1]"
std::string qubit_list(const std::uint32_t* qubits, std::uint32_t count);

// The bridge's entry policy (see py::guard()): a C++ failure is a RuntimeError.
struct BridgePolicy {
  static constexpr const char* kNoErrorSet = "error without an exception";
  static void failure(const char* message, const SourceLocation&) noexcept {
    PyErr_SetString(PyExc_RuntimeError, message);
  }
};

// Runs `body` (which returns a new reference, or null with an exception set) and turns C++
// exceptions into Python exceptions.
template <class Body>
PyObject* guarded(Body body) {
  return py::guard<BridgePolicy>(body, static_cast<PyObject*>(nullptr));
}

}  // namespace vornak::bridge

#endif
