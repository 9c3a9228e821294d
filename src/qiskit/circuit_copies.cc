#include "qiskit/circuit_copies.h"

#include "qiskit/python_values.h"

namespace vornak::bridge {
namespace {

using py::Ref;

Ref attribute(const char* module, const char* name) {
  Ref found = Ref::steal(check(PyImport_ImportModule(module)));
  return Ref::steal(check(PyObject_GetAttrString(found.get(), name)));
}

// obj.copy_empty_like(vars_mode="alike"), which CircuitData and DAGCircuit both have.
Ref empty_copy(PyObject* obj) {
  Ref method = Ref::steal(check(PyObject_GetAttrString(obj, "copy_empty_like")));
  Ref args = Ref::steal(check(PyTuple_New(0)));
  Ref kwargs = Ref::steal(check(Py_BuildValue("{s:s}", "vars_mode", "alike")));
  return Ref::steal(check(PyObject_Call(method.get(), args.get(), kwargs.get())));
}

}  // namespace

py::Ref empty_data_like(PyObject* data) { return empty_copy(data); }

py::Ref empty_data_like_dag(PyObject* dag) {
  Ref empty = empty_copy(dag);
  Ref convert = attribute("qiskit._accelerate.converters", "dag_to_circuit");
  return Ref::steal(check(PyObject_CallFunctionObjArgs(convert.get(), empty.get(), Py_False,
                                                       nullptr)));
}

py::Ref circuit_of_data(PyObject* data) {
  Ref circuit_class = attribute("qiskit.circuit", "QuantumCircuit");
  Ref make = Ref::steal(check(PyObject_GetAttrString(circuit_class.get(), "from_circuit_data")));
  Ref args = Ref::steal(check(PyTuple_Pack(1, data)));
  Ref kwargs = Ref::steal(check(Py_BuildValue("{s:s}", "name", "unnamed")));
  return Ref::steal(check(PyObject_Call(make.get(), args.get(), kwargs.get())));
}

py::Ref dag_of_data(PyObject* data) {
  Ref circuit = circuit_of_data(data);
  Ref convert = attribute("qiskit.converters", "circuit_to_dag");
  Ref args = Ref::steal(check(PyTuple_Pack(1, circuit.get())));
  Ref kwargs = Ref::steal(check(Py_BuildValue("{s:O}", "copy_operations", Py_False)));
  return Ref::steal(check(PyObject_Call(convert.get(), args.get(), kwargs.get())));
}

QkCircuit* borrow_circuit(PyObject* data) {
  QkCircuit* circuit = qk_circuit_borrow_from_python(data);
  if (circuit == nullptr) throw PythonError{};
  return circuit;
}

}  // namespace vornak::bridge
