#include "lib/convert.h"

namespace vornak::py {

std::string_view to_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise_cast_error(obj, "str");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) throw_python_error();
  return {data, static_cast<std::size_t>(size)};
}

namespace {

std::uint64_t long_to_u64(PyObject* obj) {
  if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
    Py_ssize_t value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(obj));
    if (value >= 0) return static_cast<std::uint64_t>(value);
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error();
  return value;
}

}  // namespace

std::uint64_t to_u64(PyObject* obj) {
  if (PyLong_Check(obj)) return long_to_u64(obj);
  Ref index = Ref::steal(check(PyNumber_Index(obj)));
  return long_to_u64(index.get());
}

Py_ssize_t reported_length(PyObject* obj) {
  Py_ssize_t length = PyObject_Size(obj);
  if (length < 0) {
    PyErr_Clear();
    return 0;
  }
  return length;
}

void check_tuple(PyObject* obj, Py_ssize_t length) {
  if (!PyTuple_Check(obj)) raise_cast_error(obj, "tuple");
  if (PyTuple_GET_SIZE(obj) != length) {
    raise(PyExc_ValueError, "expected tuple of length " + std::to_string(length) +
                                ", but got tuple of length " +
                                std::to_string(PyTuple_GET_SIZE(obj)));
  }
}

void push_qubits(PyObject* obj, NodeStore& nodes) {
  for_each_item(
      obj, [](std::size_t) {}, [&](PyObject* qubit) { nodes.push_qubit(to_u64(qubit)); });
}

void push_instruction(PyObject* obj, TextCache& texts, NodeStore& nodes) {
  check_tuple(obj, 4);
  std::uint32_t name = texts.intern(PyTuple_GET_ITEM(obj, 0));
  push_qubits(PyTuple_GET_ITEM(obj, 1), nodes);
  double duration = to_double(PyTuple_GET_ITEM(obj, 2));
  push_params(
      PyTuple_GET_ITEM(obj, 3), [&](PyObject* key) { return texts.intern(key); }, nodes);
  nodes.close_node(name, duration);
}

std::unordered_map<Qubit, double> to_pulse_durations(PyObject* obj) {
  std::unordered_map<Qubit, double> durations;
  if (PyDict_Check(obj)) durations.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(obj)));
  for_each_entry(obj, [&](PyObject* key, PyObject* value) {
    Qubit qubit = to_u64(key);
    durations.insert_or_assign(qubit, to_double(value));
  });
  return durations;
}

}  // namespace vornak::py
