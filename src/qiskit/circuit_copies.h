#ifndef VORNAK_QISKIT_CIRCUIT_COPIES_H
#define VORNAK_QISKIT_CIRCUIT_COPIES_H

// Copies of Qiskit circuits and DAGs that the bridge did not build itself, made through
// Qiskit's Python methods.
//
// Qiskit's C API copies a circuit's bits, registers, bit maps and variables without telling
// its Rust runtime that the calling thread holds the interpreter. Where the copied data holds
// a Python object (the register lists and bit maps a circuit or DAG caches once Python code
// has asked for them, as the transpiler's own passes do at optimization level 3), that
// runtime refuses to copy the reference and aborts the process, whatever the caller holds.
// Its Python methods run attached and copy the same data safely. So the bridge calls
// qk_circuit_copy_empty_like, qk_dag_copy_empty_like, qk_circuit_to_dag and
// qk_dag_to_circuit only on circuits it built itself from qk_circuit_new, and every other copy
// goes through here. Each function needs the interpreter lock and returns a new reference.
#include "qiskit/capi.h"

#include "lib/pyref.h"

namespace vornak::bridge {

// A new, empty CircuitData with the bits, registers, variables and global phase of the
// CircuitData `data` (a QuantumCircuit's `_data`).
py::Ref empty_data_like(PyObject* data);

// The same of a DAGCircuit `dag`.
py::Ref empty_data_like_dag(PyObject* dag);

// A DAGCircuit of the CircuitData `data`, its operations shared with it.
py::Ref dag_of_data(PyObject* data);

// The QuantumCircuit of the CircuitData `data`, named "unnamed" (as qk_circuit_to_python_full
// names the circuits it makes, so that making one leaves Qiskit's count of default names alone).
py::Ref circuit_of_data(PyObject* data);

// The circuit of the CircuitData `data`, borrowed for the C API: `data` must be one that no
// other call reads (a copy made here, say).
QkCircuit* borrow_circuit(PyObject* data);

}  // namespace vornak::bridge

#endif
