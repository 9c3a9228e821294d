#include "qiskit/body_reader.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include "qiskit/duration_table.h"

namespace vornak::bridge {

std::vector<std::uint32_t> boundaries_of(const QkCircuit* body) {
  std::vector<std::uint32_t> found;
  const std::size_t size = qk_circuit_num_instructions(body);
  for (std::size_t i = 0; i < size; ++i) {
    QkCircuitInstructionView view;
    qk_circuit_view_instruction(body, i, &view);
    if (qk_circuit_instruction_kind(body, i) == QkOperationKind_ControlFlow ||
        view.num_qubits == 0) {
      found.push_back(static_cast<std::uint32_t>(i));
    }
  }
  return found;
}

std::vector<CutLevel> cut_body(const QkCircuit* body, const std::vector<std::uint32_t>& boundaries,
                               const std::vector<std::vector<std::uint32_t>>& classical,
                               const InstructionCopier& copier) {
  const std::uint32_t nq = qk_circuit_num_qubits(body);
  std::uint32_t num_wires = nq + qk_circuit_num_clbits(body);
  for (const std::vector<std::uint32_t>& wires : classical) {
    for (std::uint32_t w : wires) num_wires = std::max(num_wires, w + 1);
  }
  const std::size_t size = qk_circuit_num_instructions(body);
  BlockCutter cutter(num_wires);
  std::vector<std::uint32_t> wires;
  std::size_t next = 0;  // the next of `boundaries`
  for (std::size_t i = 0; i < size; ++i) {
    QkCircuitInstructionView view;
    qk_circuit_view_instruction(body, i, &view);
    const QkOperationKind kind = qk_circuit_instruction_kind(body, i);
    const bool boundary = next < boundaries.size() && boundaries[next] == i;
    if (!boundary && !copier.copyable(body, i)) throw NotNative{};
    if (kind == QkOperationKind_Delay) delay_length(body, i);
    wires.assign(view.qubits, view.qubits + view.num_qubits);
    for (std::uint32_t c = 0; c < view.num_clbits; ++c) wires.push_back(nq + view.clbits[c]);
    if (boundary) {
      for (std::uint32_t w : classical[next]) {
        if (std::find(wires.begin(), wires.end(), w) == wires.end()) wires.push_back(w);
      }
      ++next;
    }
    cutter.add(static_cast<std::uint32_t>(i), wires, boundary, name_of(view) == "reset");
  }
  return cutter.levels();
}

double delay_length(const QkCircuit* circuit, std::size_t index) {
  if (qk_circuit_delay_unit(circuit, index) != QkDelayUnit_DT) throw NotNative{};
  QkCircuitInstructionView view;
  qk_circuit_view_instruction(circuit, index, &view);
  const double length = qk_param_as_real(view.params);
  if (!(length >= 0.0 && length <= kMaxExactDt) || std::floor(length) != length) {
    throw NotNative{};
  }
  return length;
}

std::vector<double> last_levels(const QkCircuit* body, const std::vector<CutLevel>& levels,
                                const std::vector<std::uint32_t>& physical,
                                std::uint32_t num_qubits) {
  std::vector<double> last(num_qubits, -1.0);
  for (std::size_t k = 0; k < levels.size(); ++k) {
    for (const auto* part : {&levels[k].block, &levels[k].boundary}) {
      for (std::uint32_t i : *part) {
        QkCircuitInstructionView view;
        qk_circuit_view_instruction(body, i, &view);
        const bool readout = name_of(view) == "measure" || name_of(view) == "reset";
        for (std::uint32_t b = 0; b < view.num_qubits; ++b) {
          last[physical[view.qubits[b]]] =
              readout ? static_cast<double>(k) : std::numeric_limits<double>::infinity();
        }
      }
    }
  }
  return last;
}

}  // namespace vornak::bridge
