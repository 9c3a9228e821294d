#ifndef VORNAK_QISKIT_PYTHON_VALUES_H
#define VORNAK_QISKIT_PYTHON_VALUES_H

// Python values read by the bridge, and the errors it raises.
#include "qiskit/capi.h"

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

namespace vornak::bridge {

// Thrown with a Python exception set.
struct PythonError {};

[[noreturn]] void fail(PyObject* type, const std::string& message);

inline PyObject* check(PyObject* obj) {
  if (obj == nullptr) throw PythonError{};
  return obj;
}

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
// "[0, 1]"
std::string qubit_list(const std::uint32_t* qubits, std::uint32_t count);

// Runs `body` (which returns a new reference, or null with an exception set) and turns C++
// exceptions into Python exceptions.
template <class Body>
PyObject* guarded(Body body) {
  try {
    return body();
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error without an exception");
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return nullptr;
  }
}

}  // namespace vornak::bridge

#endif
