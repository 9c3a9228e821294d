#ifndef VORNAK_QISKIT_CIRCUIT_ORDER_H
#define VORNAK_QISKIT_CIRCUIT_ORDER_H

#include "qiskit/capi.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace vornak::bridge {

// The order in which Qiskit's topological_op_nodes lists the operations of a DAG made from
// `circuit`, as positions in the circuit; nothing where that order is not found here (an
// operation on no qubits and no clbits, whose ties Qiskit breaks by node index).
//
// Qiskit sorts lexicographically: of the nodes whose predecessors are all listed, it lists
// next the one with the least key, the node's qubits then its clbits compared as sequences
// of indices, a qubit's input node keyed (qubit, no clbit) and a clbit's (no qubit, clbit),
// "no" being the largest index. Ready nodes never share a key (two operations on the same
// wires are ordered by it), so the order is that of the keys alone. Qiskit's own sort hashes
// every node and takes a few hundred ns a node; this one runs on dense arrays, the wires'
// order read off the circuit.
std::optional<std::vector<std::uint32_t>> lexicographic_order(const QkCircuit* circuit);

}  // namespace vornak::bridge

#endif
