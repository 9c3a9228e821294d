#include "qiskit/python_values.h"

#include <cmath>

namespace vornak::bridge {

double to_double(PyObject* obj) {
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
  return value;
}

double to_length(PyObject* obj, const char* what) {
  double value = to_double(obj);
  if (!std::isfinite(value) || value < 0) {
    fail(PyExc_ValueError, std::string(what) + " must be finite and >= 0, not " +
                               std::to_string(value));
  }
  return value;
}

std::uint32_t to_u32(PyObject* obj) {
  unsigned long value = PyLong_AsUnsignedLong(obj);
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PythonError{};
  if (value > UINT32_MAX) fail(PyExc_OverflowError, "index out of range");
  return static_cast<std::uint32_t>(value);
}

py::Ref field(PyObject* owner, const char* what, const char* name) {
  py::Ref value = py::Ref::steal(PyObject_GetAttrString(owner, name));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    fail(PyExc_TypeError, std::string(what) + " has no field '" + name + "'");
  }
  return value;
}

std::string qubit_list(const std::uint32_t* qubits, std::uint32_t count) {
  std::string text = "[";
  for (std::uint32_t i = 0; i < count; ++i) {
    if (i) text += ", ";
    text += std::to_string(qubits[i]);
  }
  return text + "]";
}

}  // namespace vornak::bridge
