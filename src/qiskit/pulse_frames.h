#ifndef VORNAK_QISKIT_PULSE_FRAMES_H
#define VORNAK_QISKIT_PULSE_FRAMES_H

#include "qiskit/capi.h"

#include <vector>

#include "dd/plan.h"
#include "qiskit/options.h"
#include "qiskit/reader.h"
#include "qiskit/source.h"

namespace vornak::bridge {

// A frame for each run of `plan` (in its order): the angle θ by which all the run's pulses
// are turned about z, so that the coherent pulse errors the runs leave do not add up along
// the circuit. Empty where `in.options.residues` is (no frames to choose).
//
// A run of a robust sequence that ends inside a cycle (X-X̄ of X, X̄, X̄, X) leaves a
// first-order error: with every pulse off resonance by f of its Rabi frequency, a rotation
// by about 4f about an axis in the xy-plane, perpendicular to the pulses'. Turning the run
// by θ (each pulse's phase φ becomes φ + θ) turns that axis by θ and changes nothing else:
// the run is still the identity with the same global phase, still cancels an over-rotation
// within each block, and its pulses keep their times, hence their toggling signs. So each
// run takes the θ whose error best cancels the errors the qubit's earlier runs left, carried
// forward through the circuit's gates (conjugated by them, as Pauli sums; a term spread over
// more than two qubits, through a gate of unknown matrix, or below 1e-3 of a lone pair's
// error, is let go): the θ that makes
// the sum of all first-order errors smallest in norm, which is the average over input
// states of the infidelity they cause. Where nothing earlier reaches the qubit locally, θ
// leaves the run's error in the xy-plane at the qubit's next such run if only single-qubit
// gates come between, else is 0. O(nodes + terms touched), at most 4096 terms of two qubits tracked.
std::vector<double> run_frames(const Source& source, const Reading& reading, const DdPlan& plan,
                               const Inputs& in);

}  // namespace vornak::bridge

#endif
