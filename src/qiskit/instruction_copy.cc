#include "qiskit/instruction_copy.h"

#include <cmath>
#include <string_view>

#include "qiskit/python_values.h"
#include "qiskit/source.h"
#include "qiskit/standard_gates.h"

namespace vornak::bridge {

bool InstructionCopier::copyable(const QkCircuit* from, std::size_t index) const {
  const QkOperationKind kind = qk_circuit_instruction_kind(from, index);
  if (!Source::native_kind(kind)) return false;
  QkCircuitInstructionView view;
  qk_circuit_view_instruction(from, index, &view);
  if (kind == QkOperationKind_Delay) {
    return view.num_params == 1 && qk_param_kind(view.params) != QkParamKind_Unknown &&
           std::isfinite(qk_param_as_real(view.params));
  }
  if (kind == QkOperationKind_Gate) {
    const QkGate gate = standard_gate_named(std::string_view(view.name, view.name_len));
    if (static_cast<std::uint32_t>(gate) == kStandardGates) return false;
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
  const QkOperationKind kind = qk_circuit_instruction_kind(from, index);
  QkGate gate = QkGate_GlobalPhase;  // read for gates only
  QkDelayUnit unit = QkDelayUnit_DT;  // read for delays only
  if (kind == QkOperationKind_Gate) {
    gate = standard_gate_named(std::string_view(view.name, view.name_len));
  } else if (kind == QkOperationKind_Delay) {
    unit = qk_circuit_delay_unit(from, index);
  } else if (kind == QkOperationKind_Unitary) {
    // The C API reads a circuit's unitary through a mutable pointer, without changing it.
    qk_circuit_inst_unitary(const_cast<QkCircuit*>(from), index, append_.matrix(view.num_qubits));
  }
  append_.append(to, kind, view, mapped_.data(), gate, unit);
  return true;
}

}  // namespace vornak::bridge
