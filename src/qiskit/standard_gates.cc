#include "qiskit/standard_gates.h"

#include <algorithm>
#include <unordered_map>

namespace vornak::bridge {

// The name Qiskit gives each standard gate, by gate number, read once by writing the gate
// into a scratch circuit. An operation whose kind is a standard gate but whose name differs
// is an instance of a Python subclass (a user's pulse gate, say): the C API would write it
// back as the plain standard gate, so such circuits go to the Python writer.
const std::vector<std::string>& standard_gate_names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> found(kStandardGates);
    const std::vector<double> zeros(8, 0.0);
    const std::vector<std::uint32_t> qubits = {0, 1, 2, 3, 4, 5, 6, 7};
    for (std::uint32_t g = 0; g < kStandardGates; ++g) {
      const QkGate gate = static_cast<QkGate>(g);
      const std::uint32_t nq = qk_gate_num_qubits(gate);
      if (nq > qubits.size() || qk_gate_num_params(gate) > zeros.size()) continue;
      CircuitPtr scratch(qk_circuit_new(std::max(nq, 1u), 0));
      if (qk_circuit_gate(scratch.get(), gate, qubits.data(), zeros.data()) != QkExitCode_Success ||
          qk_circuit_num_instructions(scratch.get()) != 1) {
        continue;  // an empty name matches no operation: such gates take the Python writer
      }
      QkCircuitInstructionView view;
      qk_circuit_view_instruction(scratch.get(), 0, &view);
      found[g].assign(view.name, view.name_len);
    }
    return found;
  }();
  return names;
}

QkGate standard_gate_named(std::string_view name) {
  static const std::unordered_map<std::string_view, QkGate> by_name = [] {
    std::unordered_map<std::string_view, QkGate> found;
    const std::vector<std::string>& names = standard_gate_names();
    for (std::uint32_t g = 0; g < names.size(); ++g) {
      if (!names[g].empty()) found.emplace(names[g], static_cast<QkGate>(g));
    }
    return found;
  }();
  const auto it = by_name.find(name);
  return it == by_name.end() ? static_cast<QkGate>(kStandardGates) : it->second;
}

}  // namespace vornak::bridge
