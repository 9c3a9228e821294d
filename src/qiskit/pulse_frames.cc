#include "qiskit/pulse_frames.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dd/run_frames.h"
#include "qiskit/gate_matrix.h"
#include "qiskit/standard_gates.h"

namespace vornak::bridge {
namespace {

// The matrices of the operations of `reading`, read from `source` when the choice of frames
// asks for them.
class SourceMatrices final : public OperationMatrices {
 public:
  SourceMatrices(const Source& source, const Reading& reading)
      : source_(source), reading_(reading) {}

  Read read(std::size_t position, bool z_turns, pauli::Matrix& u, double& angle,
            int& fixed) const override {
    // What the reader kept, where it did: a standard gate without parameters (its matrix
    // read once), a standard z rotation.
    const bool kept = position < reading_.fixed_gate.size();
    const std::uint8_t gate = kept ? reading_.fixed_gate[position] : kNoFixedGate;
    if (gate != kNoFixedGate && gate < known_.size() && known_[gate]) {
      u = matrices_[gate];
      fixed = gate;
      return Read::kMatrix;
    }
    if (kept && z_turns && std::isfinite(reading_.z_angle[position])) {
      angle = reading_.z_angle[position];
      return Read::kTurnZ;
    }
    const std::uint32_t node = reading_.order[position];
    QkCircuitInstructionView view;
    source_.view(node, &view);
    const QkOperationKind kind = source_.kind(node);
    if (kind == QkOperationKind_Barrier || kind == QkOperationKind_Delay) return Read::kWait;
    if (z_turns && kind == QkOperationKind_Gate && view.num_qubits == 1 && view.num_params == 1) {
      const QkGate g = source_.gate(node, view);
      angle = qk_param_as_real(view.params);
      if (is_z_rotation(g) && std::isfinite(angle)) {
        return Read::kTurnZ;
      }
    }
    int standard = -1;
    if (!read_matrix(source_, node, view, u, &standard)) return Read::kOpaque;
    fixed = kind == QkOperationKind_Gate && view.num_params == 0 ? standard : -1;
    if (gate != kNoFixedGate && fixed == gate) {
      if (known_.size() <= gate) known_.resize(gate + 1), matrices_.resize(gate + 1);
      known_[gate] = 1;
      matrices_[gate] = u;
    }
    return Read::kMatrix;
  }

 private:
  const Source& source_;
  const Reading& reading_;
  // By standard gate: whether its matrix was read, and the matrix.
  mutable std::vector<char> known_;
  mutable std::vector<pauli::Matrix> matrices_;
};

}  // namespace

std::vector<double> run_frames(const Source& source, const Reading& reading, const DdPlan& plan,
                               const Inputs& in) {
  const RunResidues sequence{in.options.residues, in.cycle, in.n};
  return vornak::run_frames(reading.core, reading.flags, in.nq, plan, sequence,
                            SourceMatrices(source, reading));
}

}  // namespace vornak::bridge
