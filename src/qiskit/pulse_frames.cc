#include "qiskit/pulse_frames.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "dd/run_frames.h"
#include "qiskit/gate_matrix.h"

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
    const std::uint32_t node = reading_.order[position];
    QkCircuitInstructionView view;
    source_.view(node, &view);
    const QkOperationKind kind = source_.kind(node);
    if (kind == QkOperationKind_Barrier || kind == QkOperationKind_Delay) return Read::kWait;
    if (z_turns && kind == QkOperationKind_Gate && view.num_qubits == 1 && view.num_params == 1) {
      const QkGate g = source_.gate(node, view);
      angle = qk_param_as_real(view.params);
      if ((g == QkGate_RZ || g == QkGate_Phase || g == QkGate_U1) && std::isfinite(angle)) {
        return Read::kTurnZ;
      }
    }
    int gate = -1;
    if (!read_matrix(source_, node, view, u, &gate)) return Read::kOpaque;
    fixed = kind == QkOperationKind_Gate && view.num_params == 0 ? gate : -1;
    return Read::kMatrix;
  }

 private:
  const Source& source_;
  const Reading& reading_;
};

}  // namespace

std::vector<double> run_frames(const Source& source, const Reading& reading, const DdPlan& plan,
                               const Inputs& in) {
  const RunResidues sequence{in.options.residues, in.cycle, in.n};
  return vornak::run_frames(reading.core, reading.flags, in.nq, plan, sequence,
                            SourceMatrices(source, reading));
}

}  // namespace vornak::bridge
