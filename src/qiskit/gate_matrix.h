#ifndef VORNAK_QISKIT_GATE_MATRIX_H
#define VORNAK_QISKIT_GATE_MATRIX_H

#include "qiskit/capi.h"

#include <cstdint>

#include "dd/gate_matrix.h"
#include "qiskit/source.h"

namespace vornak::bridge {

// The matrix of the operation at `node` where it is a gate or unitary of one or two qubits
// with known numbers; false otherwise (a measurement, a reset, an unbound parameter, a
// standard gate of three qubits, ...). `gate`, when given, receives the standard gate's
// number (-1 for a unitary).
bool read_matrix(const Source& source, std::uint32_t node, const QkCircuitInstructionView& view,
                 pauli::Matrix& u, int* gate = nullptr);

}  // namespace vornak::bridge

#endif
