#ifndef VORNAK_DD_PASS_H
#define VORNAK_DD_PASS_H

#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "graph/dag.h"
#include "dd/plan.h"

namespace vornak {

// Builds a new graph that holds, for each scheduled node of `source` in id order, first the
// dynamical-decoupling pulses chosen for the idle gap before it on each of its qubits, then
// a copy of the node. Unscheduled nodes are left out. "XY4" selects the pulses
// DD_X DD_Y DD_X DD_Y, any other sequence DD_X DD_Y. A qubit's pulse lasts
// pulse_durations[q], or DD_DEFAULT_PULSE_NS. With num_qubits > 0, a pulse is shifted past
// every pulse already placed on a coupled qubit below num_qubits that it would overlap.
// The pulses are those of plan_dd() with the default options.
// The result has no schedule and no coupling map. Writes a progress line before and after.
QuantumDAG apply_dd_pass(const QuantumDAG& source, std::string_view sequence,
                         const std::unordered_map<Qubit, double>& pulse_durations,
                         std::uint64_t num_qubits);

}  // namespace vornak

#endif
