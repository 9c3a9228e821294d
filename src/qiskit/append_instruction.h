#ifndef VORNAK_QISKIT_APPEND_INSTRUCTION_H
#define VORNAK_QISKIT_APPEND_INSTRUCTION_H

#include "qiskit/capi.h"

#include <cstdint>
#include <vector>

namespace vornak::bridge {

// Appends instructions to a circuit through the C API, one at a time: a standard gate, a
// measurement, a reset, a barrier, a delay or a unitary, on qubits its caller chose, with the
// parameters and clbits its instruction view gives. Keeps the room the C API's arguments take,
// so that appending allocates nothing once it has grown.
class InstructionAppender {
 public:
  // Room for the matrix of a unitary on `num_qubits` qubits, which the caller fills before
  // appending that unitary.
  QkComplex64* matrix(std::uint32_t num_qubits);

  // Appends to `to` an instruction of `kind` on `qubits` (view.num_qubits of them), with
  // `view`'s parameters and clbits: a gate is the standard gate `gate`, a delay lasts its
  // parameter in `unit`, and a unitary's matrix is the one last filled at matrix().
  void append(QkCircuit* to, QkOperationKind kind, const QkCircuitInstructionView& view,
              const std::uint32_t* qubits, QkGate gate, QkDelayUnit unit = QkDelayUnit_DT);

 private:
  std::vector<const QkParam*> params_;
  std::vector<QkComplex64> matrix_;
};

}  // namespace vornak::bridge

#endif
