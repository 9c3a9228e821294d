#ifndef VORNAK_GRAPH_DD_WALSH_H
#define VORNAK_GRAPH_DD_WALSH_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "graph/dag.h"
#include "graph/dd_plan.h"

namespace vornak {

// Dynamical decoupling that also refocuses the always-on ZZ coupling between coupled qubits.
//
// In the toggling frame every π pulse flips the sign s_q(t) of its qubit's Z term; a pulse of
// finite width flips it at its middle. Over an idle stretch, a detuning accumulates a phase
// proportional to ∫ s_q dt, and the ZZ term of a coupled pair one proportional to
// ∫ s_p · s_q dt over the time both are idle. The same sequence at the same times on both
// qubits leaves s_p · s_q = 1, so ZZ keeps acting at full strength. Walsh functions fix
// this: each has zero mean (refocuses detuning) and any two distinct ones are orthogonal on
// the same interval (refocus ZZ). So coupled qubits take different Walsh functions over
// exactly the same windows; a proper colouring of the coupling graph says which qubit takes
// which function, and two colours suffice on a bipartite (heavy-hex) device.
//
// The windows ("pieces") come from a sweep over the idle stretches in time order. The idle
// qubits form connected groups in the coupling graph; whenever a qubit joins or leaves a
// group, every member's current piece ends there and a new one starts. Two coupled qubits
// idle at the same time therefore always have pieces with the same start and end, and each
// piece holds a whole pattern, which returns its qubit's frame to the identity, or nothing.
// A piece too short for its qubit's pattern stays empty: a shorter pattern would be another
// Walsh function, possibly the neighbour's, and break the orthogonality.
//
// The pattern of colour c is the c-th Walsh function (in sequency order, the k-th has k sign
// changes) whose pulse count is a multiple of the sequence's n pulses: a pulse centred on
// every sign change, and for odd k one more at the very end of the piece. That closing pulse
// cannot be centred on the piece's end, so every pattern is shifted cyclically by the same
// time h, half the longest pulse of any qubit: all pulses are centred h before their places,
// and the last h of the piece carries the function's first h. The signs over the piece are
// then the Walsh function rotated by h, which has the same zero mean and, for two qubits
// rotated alike, the same zero overlap; only the alignment of the pulse starts moves them.

struct DdWalshOptions {
  // The number n of pulses of the base sequence (X-X: 2, X-Y-X-Y: 4); pulse k of a pattern
  // is pulse k % n of the sequence.
  std::size_t pulse_count = 2;
  // With alignment > 0, pulse starts are multiples of it.
  double alignment = 0.0;
  // The least free time between the end of a pulse and the start of the qubit's next pulse.
  double spacing = DD_PULSE_SPACING_NS;
  // No pulses before a qubit's first node or after a node flagged kDdNodeResets.
  bool skip_ground_state = false;
  // Also use the idle time after a qubit's last node, up to the circuit's end (the largest
  // end time of any scheduled node); its runs come before node_count().
  bool trailing = true;
};

// One piece of a qubit's idle time, as the planner cut it.
struct DdWalshPiece {
  Qubit qubit;
  NodeId before;  // the node that ends the stretch the piece belongs to (or node_count())
  double start;
  double end;
  std::uint32_t colour;
  std::uint32_t pulses;  // placed in the piece: 0 or the pattern's count
};

// The positions of the pulses of the pattern of colour `colour` for a sequence of
// `pulse_count` pulses, as fractions of a piece: the sign changes of the Walsh function, then
// 1.0 for the pulse at the end when the number of changes is odd. Empty when pulse_count is 0.
std::vector<double> walsh_pattern(std::size_t colour, std::size_t pulse_count);

// Plans Walsh-pattern pulses in the idle time of `source`'s scheduled nodes (walked in id
// order; a node flagged kDdNodeIdle in `node_flags` is idle time, a barrier a node of no
// length). A qubit's stretch of idle time ends where its next node starts; a stretch shorter
// than DD_WINDOW_FACTOR times the sum of the sequence's durations counts as busy. Qubits for
// which `durations` returns false take no pulses and play no part. Colours come from the
// couplings of `source` between qubits that take pulses.
//
// Each piece with pulses becomes one run (before = the node that ends the piece's stretch),
// runs sorted by `before`, then by the end of their pieces. A piece at least as long as the
// stretch threshold whose pattern does not fit (DD_WINDOW_FACTOR times the pattern's pulse
// time, alignment, spacing) counts in DdPlan::dropped. `pieces`, when given, receives every
// piece in the order they were cut. O((stretches + pieces + pulses) log) plus the walks of
// the touched groups of the sweep.
DdPlan plan_dd_walsh(const QuantumDAG& source, const DdPulseDurations& durations,
                     const DdWalshOptions& options, std::span<const std::uint8_t> node_flags = {},
                     std::vector<DdWalshPiece>* pieces = nullptr);

}  // namespace vornak

#endif
