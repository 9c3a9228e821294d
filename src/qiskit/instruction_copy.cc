#include "qiskit/instruction_copy.h"

#include <cmath>

#include "qiskit/python_values.h"
#include "qiskit/source.h"
#include "qiskit/standard_gates.h"

namespace vornak::bridge {

InstructionCopier::InstructionCopier() {
  const std::vector<std::string>& names = standard_gate_names();
  for (std::uint32_t g = 0; g < names.size(); ++g) {
    if (!names[g].empty()) gates_.emplace(names[g], static_cast<QkGate>(g));
  }
}

bool InstructionCopier::copyable(const QkCircuit* from, std::size_t index) const {
  const QkOperationKind kind = qk_circuit_instruction_kind(from, index);
  if (!Source::native_kind(kind)) return false;
  QkCircuitInstructionView view;
  qk_circuit_view_instruction(from, index, &view);
  if (kind == QkOperationKind_Delay) {
    return view.num_params == 1 && qk_param_kind(view.params) != QkParamKind_Unknown &&
           std::isfinite(qk_param_as_real(view.params));
  }
  if (kind == QkOperationKind_Gate &&
      !gates_.contains(std::string_view(view.name, view.name_len))) {
    return false;
  }
  return Source::native_params(view.params, view.num_params);
}

bool InstructionCopier::copy(const QkCircuit* from, std::size_t index, QkCircuit* to,
                             const std::vector<std::uint32_t>& qubits) {
  QkCircuitInstructionView view;
  qk_circuit_view_instruction(from, index, &view);
  mapped_.resize(view.num_qubits);
  for (std::uint32_t k = 0; k < view.num_qubits; ++k) {
    mapped_[k] = qubits[view.qubits[k]];
    if (mapped_[k] == kNoQubit) return false;
  }
  const std::uint32_t* q = mapped_.data();
  switch (qk_circuit_instruction_kind(from, index)) {
    case QkOperationKind_Gate: {
      param_pointers(view.params, view.num_params, params_);
      const QkGate gate = gates_.at(std::string_view(view.name, view.name_len));
      check_exit(append_gate(to, gate, q, params_.data()), "copy a gate");
      break;
    }
    case QkOperationKind_Measure:
      check_exit(qk_circuit_measure(to, q[0], view.clbits[0]), "copy a measurement");
      break;
    case QkOperationKind_Reset:
      check_exit(qk_circuit_reset(to, q[0]), "copy a reset");
      break;
    case QkOperationKind_Barrier:
      check_exit(qk_circuit_barrier(to, q, view.num_qubits), "copy a barrier");
      break;
    case QkOperationKind_Delay: {
      const double length = qk_param_as_real(view.params);
      const QkDelayUnit unit = qk_circuit_delay_unit(from, index);
      check_exit(unit == QkDelayUnit_DT
                     ? qk_circuit_delay_dt(to, q[0], static_cast<std::int64_t>(std::llround(length)))
                     : qk_circuit_delay(to, q[0], length, unit),
                 "copy a delay");
      break;
    }
    case QkOperationKind_Unitary:
      matrix_.resize(std::size_t{1} << (2 * view.num_qubits));
      // The C API reads a circuit's unitary through a mutable pointer, without changing it.
      qk_circuit_inst_unitary(const_cast<QkCircuit*>(from), index, matrix_.data());
      check_exit(qk_circuit_unitary(to, matrix_.data(), q, view.num_qubits, false),
                 "copy a unitary");
      break;
    default:
      fail(PyExc_RuntimeError, "an instruction that cannot be copied natively");
  }
  return true;
}

}  // namespace vornak::bridge
