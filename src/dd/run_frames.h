#ifndef VORNAK_DD_RUN_FRAMES_H
#define VORNAK_DD_RUN_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dd/gate_matrix.h"
#include "dd/plan.h"
#include "graph/dag.h"

namespace vornak {

// What the choice of frames needs to know of the operations of a circuit record: their
// matrices, read from wherever the circuit lives.
class OperationMatrices {
 public:
  enum class Read : std::uint8_t {
    kWait,    // a barrier or a delay: no action on the errors
    kTurnZ,   // a rotation about z of one qubit by a finite `angle` (rz, p, u1)
    kMatrix,  // `u` holds its matrix, of one or two qubits
    kOpaque,  // anything else (a measurement, a reset, an unknown matrix): errors let go
  };

  // Reads the operation at `position` of the record. kTurnZ only where `z_turns` (else such
  // a rotation is a kMatrix). With kMatrix, `fixed` is a number shared by all operations of
  // the same matrix (a standard gate without parameters), so that their images are found
  // once, or -1.
  virtual Read read(std::size_t position, bool z_turns, pauli::Matrix& u, double& angle,
                    int& fixed) const = 0;

 protected:
  ~OperationMatrices() = default;
};

// The pulse sequence as the choice of frames sees it. `residues` holds six numbers per
// whole block of `n` pulses a run can end in (the first-order error of the first b blocks of
// one cycle: off resonance x, y, z, then over-rotation x, y, z, at 6 (b − 1)); a run of
// `count` pulses leaves its whole cycles' residue times their number, plus its last partial
// cycle's.
struct RunResidues {
  const std::vector<double>& residues;
  std::size_t cycle;  // pulses in one cycle of the sequence
  std::size_t n;      // pulses in one block
};

// A frame for each run of `plan` (in its order), over the record `core` (node qubits: the
// qubits below `nq`, then clbit wires) with `flags` (kDdNode*) and the operations' matrices
// from `ops`: the angle θ by which all the run's pulses are turned about z, so that the
// coherent pulse errors the runs leave do not add up along the circuit. Empty where the
// residues are (no frames to choose) or there are no runs.
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
// error, is let go): the θ that makes the sum of all first-order errors smallest in norm,
// which is the average over input states of the infidelity they cause. Where nothing earlier
// reaches the qubit locally, θ leaves the run's error in the xy-plane at the qubit's next such
// run if only single-qubit gates come between (at most 512 nodes on), else is 0.
// O(nodes + terms touched), at most 4096 terms of two qubits tracked.
std::vector<double> run_frames(const QuantumDAG& core, const std::vector<std::uint8_t>& flags,
                               std::uint32_t nq, const DdPlan& plan, const RunResidues& sequence,
                               const OperationMatrices& ops);

}  // namespace vornak

#endif
