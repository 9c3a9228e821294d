#ifndef VORNAK_DD_WALSH_H
#define VORNAK_DD_WALSH_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "graph/dag.h"
#include "dd/plan.h"

namespace vornak {

// Dynamical decoupling that also refocuses the always-on ZZ coupling between coupled qubits.
//
// In the toggling frame every π pulse flips the sign s_q(t) of its qubit's Z term; a pulse of
// finite width flips it at its middle. Over an idle stretch, a detuning accumulates a phase
// proportional to ∫ s_q dt, and the ZZ term of a coupled pair one proportional to
// ∫ s_p · f_q dt, where f_q is the frame of q's Z: its sign while q idles, turned by its own
// gates while it works. The same sequence at the same times on both qubits leaves
// s_p · s_q = 1, so ZZ keeps acting at full strength.
//
// If q's frame stays put over an interval on which ∫ s_p = 0, the pair's ZZ integrates to
// zero there whatever p does inside. So each qubit's stretches are cut into parts wherever
// a coupled qubit's frame turns, and each part gets ∫ s_p = 0 on its own. A frame turns at
// a neighbour's pulses and, while it works, at the middle of each of its operations that
// does not commute with its Z (an echoed cross-resonance gate flips its control's frame
// there; an ideal gate of finite length acts there). A diagonal gate (rz, cz, ...;
// kDdNodeKeepsFrame) turns no frame, nor does a controlled gate its control's
// (kDdNodeKeepsFirstFrame): no cut there, so the parts stay long enough for their pulses.
// Two coupled idle qubits cannot each follow the other's pulses, so a proper colouring of
// the coupling graph orders them: qubits are planned colour after colour, and each is cut
// at the pulses of its neighbours of lower colours, which are already placed, and at the
// middles of all its neighbours' operations. The pulses of the higher colour then never
// share a part with a turn of the lower one, and the pair's ZZ vanishes; two colours
// suffice on a bipartite (heavy-hex) device. Being cut at the other side's pulses too, the
// second colour takes more pulses: each two-coloured part of the graph is planned both ways
// round and keeps the one with fewer pulses, every pulse adding its error.
//
// A neighbour whose frame only flips sign (Z to -Z: at its pulses, at an x or y, at the echo
// of an ecr it controls; kDdNodeFlipsFrame, kDdNodeFlipsFirstFrame) needs no cut at all: the
// pair's ZZ acts through ∫ s_p·f_q, f_q = ±1, and an even pattern of 2k pulses L / 2k apart
// keeps ∫ s_p = 0 over a part of length L wherever it starts, while starting one step later
// turns s_p over, so some start leaves ∫ s_p·f_q = 0 too, however often q flips inside
// (dd_walsh_shift.h). Cutting at each flip instead takes a pulse per part. Each stretch
// follows the neighbour that flips most often in it (the others are cut at), of those whose
// frame it knows throughout: a neighbour of a higher colour that idles within the stretch
// takes pulses there later, which this plan cannot follow, and is cut at; a part whose
// pattern has no such start with its pulses their room from the ends, or that is too short
// for a pair, is cut at its flips (DdWalshOptions::shift_at_flips says whether the others
// follow), which costs a pulse per part.
// Turns that are not flips (an sx: Z to Y; the target of an ecr: Z to a two-qubit operator)
// leave a frame orthogonal to the one before; where the frames between such turns are all
// independent, each part needs a pulse of its own, and the planner cuts at every one.
//
// A part needs only one pulse for ∫ s = 0 whatever sign it starts with: centred on its
// middle. j pulses centred at (2i + 1) / 2j of it do as well, for any j. The frame must be
// back to the identity before the qubit's next operation, so each stretch holds whole
// repetitions of the sequence (and an even count); the extra pulses go first, when one is
// missing, to the stretch's end: its last part then holds an even number j of pulses centred
// at i / j of it, all h (half the closing pulse) before, which again leaves ∫ s = 0 and
// turns the sign only h before the end; then to the parts with the most room. Turns closer
// together than one pulse needs are merged (see place_parts() in the source): each keeps a
// ZZ phase of at most twice that room; a part takes a pulse only with the pulse's length
// free on both sides. A stretch none of whose parts has that room, or whose pulses do not fit
// once aligned and spaced, takes the plain sequence over its whole length instead (one
// repetition centred at (2i + 1) / 2n of it): its detuning is refocused, and the ZZ with
// neighbours whose frames stay put; no stretch long enough for a sequence stays bare unless
// even that does not fit, and then it counts in DdPlan::dropped. With max_free, parts take
// more pulses so that no free time between them exceeds it, which a detuning that drifts
// over the stretch needs. Compared with windows shared by all the idle qubits of a group, each
// taking a different Walsh pattern, most qubits are cut only where their own neighbours turn,
// and most parts take one pulse instead of a pattern of two or more.

// The device's noise, in the plan's time unit, by which the planner decides where pulses pay
// for themselves (see plan_dd_walsh() and dd/refocus_cost.h).
struct DdNoise {
  // By qubit index (missing entries count as 0): the variance <δ²> of its angular detuning
  // (rad² per unit of time squared), and a pulse's error beyond decoherence.
  std::vector<double> detuning_variance;
  std::vector<double> pulse_error;
  struct Coupling {
    Qubit a;
    Qubit b;
    double zeta;  // of ζ Z_a Z_b / 4, rad per unit of time
  };
  std::vector<Coupling> zz;
};

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
  // Also cut the idle time of a qubit's neighbours at the middles of its operations.
  bool cut_at_neighbour_operations = true;
  // Where a neighbour's frame only flips sign (at its pulses, or at an x, y or the echo of an
  // ecr it controls), do not cut there: place the part's pulses so that the ZZ with that
  // neighbour integrates to zero across the flips (see shifted parts above).
  bool shift_at_flips = true;
  // With max_free > 0, a part takes enough pulses that the free time between them is at most
  // max_free, as far as each pulse keeps its room (and at most 1024 pulses): two pulses
  // refocus a detuning that stays put over any length, but one that drifts only over times
  // short against its correlation time.
  double max_free = 0.0;
  // With a noise model, each stretch finally takes one of three candidates: the pattern
  // planned above, the plain sequence over the whole stretch (its n pulses, or whole
  // repetitions of them as max_free asks, centred at (2i + 1) / 2m), or no pulses; chosen
  // by the first-order residual each leaves and the error of its pulses, region by region
  // (dd_choose_candidates()): no region leaves more than the plain sequence at the same
  // places, or than the planned patterns. Not owned; null keeps the planned patterns.
  const DdNoise* noise = nullptr;
};

// One part of a qubit's idle time, as the planner cut it.
struct DdWalshPiece {
  Qubit qubit;
  NodeId before;  // the node that ends the stretch the piece belongs to (or node_count())
  double start;
  double end;
  std::uint32_t colour;
  std::uint32_t pulses;  // placed in the piece
  // The whole stretch with the plain sequence: none of its parts had room for a pulse, or
  // their pulses did not fit once aligned and spaced. Its pulses refocus the detuning, and
  // the ZZ only with neighbours whose frames stay put over it.
  bool plain = false;
  // Its pulses are a shifted pattern (2k pulses L / 2k apart) orthogonal to the sign flips of
  // one neighbour's frame inside it.
  bool shifted = false;
};

// Plans refocusing pulses in the idle time of `source`'s scheduled nodes (walked in id
// order; a node flagged kDdNodeIdle in `node_flags` is idle time, a barrier a node of no
// length). A qubit's stretch of idle time ends where its next node starts; a stretch shorter
// than DD_WINDOW_FACTOR times the sum of the sequence's durations counts as busy. Qubits for
// which `durations` returns false take no pulses and play no part. Colours come from the
// couplings of `source` between qubits that take pulses.
//
// Each stretch with pulses becomes one run (before = the node that ends it) holding whole
// repetitions; a stretch that takes none, not even the plain sequence once aligned and
// spaced, counts in DdPlan::dropped. Runs are sorted by `before`. `pieces`, when given,
// receives every part (its `pulses` is its own count, as planned before a noise model's
// choice). O((stretches + parts + pulses) log), and with a noise model the choice's cost.
DdPlan plan_dd_walsh(const QuantumDAG& source, const DdPulseDurations& durations,
                     const DdWalshOptions& options, std::span<const std::uint8_t> node_flags = {},
                     std::vector<DdWalshPiece>* pieces = nullptr);

}  // namespace vornak

#endif
