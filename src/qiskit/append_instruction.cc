#include "qiskit/append_instruction.h"

#include <cmath>
#include <cstddef>

#include "qiskit/python_values.h"

namespace vornak::bridge {

QkComplex64* InstructionAppender::matrix(std::uint32_t num_qubits) {
  matrix_.resize(std::size_t{1} << (2 * num_qubits));
  return matrix_.data();
}

void InstructionAppender::append(QkCircuit* to, QkOperationKind kind,
                                 const QkCircuitInstructionView& view,
                                 const std::uint32_t* qubits, QkGate gate, QkDelayUnit unit) {
  switch (kind) {
    case QkOperationKind_Gate:
      param_pointers(view.params, view.num_params, params_);
      check_exit(append_gate(to, gate, qubits, params_.data()), "add a gate");
      break;
    case QkOperationKind_Measure:
      check_exit(qk_circuit_measure(to, qubits[0], view.clbits[0]), "add a measurement");
      break;
    case QkOperationKind_Reset:
      check_exit(qk_circuit_reset(to, qubits[0]), "add a reset");
      break;
    case QkOperationKind_Barrier:
      check_exit(qk_circuit_barrier(to, qubits, view.num_qubits), "add a barrier");
      break;
    case QkOperationKind_Delay: {
      const double length = qk_param_as_real(view.params);
      check_exit(unit == QkDelayUnit_DT
                     ? qk_circuit_delay_dt(to, qubits[0], static_cast<std::int64_t>(std::llround(length)))
                     : qk_circuit_delay(to, qubits[0], length, unit),
                 "add a delay");
      break;
    }
    case QkOperationKind_Unitary:
      check_exit(qk_circuit_unitary(to, matrix_.data(), qubits, view.num_qubits, false),
                 "add a unitary");
      break;
    default:
      fail(PyExc_RuntimeError, "an instruction that cannot be written natively");
  }
}

}  // namespace vornak::bridge
