#include "dd/run_frames.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

namespace vornak {
namespace {

using pauli::Matrix;
using Read = OperationMatrices::Read;

// An operation as the fake source reports it: a z rotation (read as a matrix where the
// caller does not take z turns), a matrix, a wait or an opaque operation.
struct Op {
  std::vector<Qubit> qubits;
  Read kind;
  Matrix u{};
  double angle = 0.0;
  int fixed = -1;
};

Op rz(Qubit q, double angle) { return {{q}, Read::kTurnZ, pauli::rotation(angle, 0, 0, 1), angle}; }
Op sx(Qubit q) {
  return {{q}, Read::kMatrix, pauli::single({0.5, 0.5}, {0.5, -0.5}, {0.5, -0.5}, {0.5, 0.5}), 0, 7};
}
Op cx(Qubit c, Qubit t) {
  return {{c, t}, Read::kMatrix, pauli::controlled(pauli::single(0, 1, 1, 0)), 0, 8};
}
Op measure(Qubit q, Qubit clbit) { return {{q, clbit}, Read::kOpaque}; }
Op delay(Qubit q) { return {{q}, Read::kWait}; }

class FakeMatrices final : public OperationMatrices {
 public:
  explicit FakeMatrices(std::vector<Op> ops) : ops_(std::move(ops)) {}
  Read read(std::size_t position, bool z_turns, Matrix& u, double& angle,
            int& fixed) const override {
    const Op& op = ops_.at(position);
    if (op.kind == Read::kTurnZ && !z_turns) {
      u = op.u;
      fixed = -1;
      return Read::kMatrix;
    }
    u = op.u, angle = op.angle, fixed = op.fixed;
    return op.kind;
  }
  const std::vector<Op>& ops() const { return ops_; }

 private:
  std::vector<Op> ops_;
};

// One cycle of four pulses in two blocks: a run of two pulses (one block) leaves the
// off-resonance error (0.3, 0.4, 0) in the xy-plane; a whole cycle leaves none.
const std::vector<double> kResidues = {0.3, 0.4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr std::uint32_t kQubits = 3;

// The frames of runs of `counts` pulses on qubit 0 before nodes `befores` of `ops`.
std::vector<double> frames(const std::vector<Op>& ops, const std::vector<NodeId>& befores,
                           const std::vector<std::uint32_t>& counts = {},
                           const std::vector<double>& residues = kResidues) {
  QuantumDAG core;
  std::vector<std::uint8_t> flags;
  for (const Op& op : ops) {
    core.insert_node("op", op.qubits, 1.0, {});
    flags.push_back(op.kind == Read::kWait ? kDdNodeIdle : 0);
  }
  DdPlan plan;
  for (std::size_t k = 0; k < befores.size(); ++k) {
    plan.runs.push_back({befores[k], 0, 1.0, counts.empty() ? 2u : counts[k]});
  }
  const FakeMatrices source(ops);
  return run_frames(core, flags, kQubits, plan, {residues, 4, 2}, source);
}

// The error (0.3, 0.4) turned by θ.
std::pair<double, double> turned(double theta) {
  return {std::cos(theta) * 0.3 - std::sin(theta) * 0.4, std::sin(theta) * 0.3 + std::cos(theta) * 0.4};
}

TEST(RunFrames, NoneWithoutResiduesOrRuns) {
  EXPECT_TRUE(frames({delay(0)}, {0}, {}, {}).empty());
  EXPECT_TRUE(frames({delay(0)}, {}).empty());
}

// A run's error is cancelled by the qubit's next run: turned by π where only waits come
// between, by φ + π after an rz(φ), reflected after two SX (an X: (x, y) → (x, −y)).
TEST(RunFrames, ALaterRunCancelsTheErrorCarriedToIt) {
  const std::vector<double> waits = frames({delay(0), delay(0)}, {0, 1});
  ASSERT_EQ(waits.size(), 2u);
  EXPECT_EQ(waits[0], 0.0);
  EXPECT_NEAR(std::cos(waits[1]), -1.0, 1e-15);

  const double phi = 0.7;
  const std::vector<double> after_rz = frames({rz(0, phi)}, {0, 1});
  EXPECT_EQ(after_rz[0], 0.0);  // rz keeps the error in the xy-plane: nothing to choose
  EXPECT_NEAR(std::cos(after_rz[1] - phi), -1.0, 1e-12);

  const std::vector<double> after_x = frames({sx(0), sx(0)}, {0, 2});
  const auto [x, y] = turned(after_x[1]);
  EXPECT_NEAR(x, -0.3, 1e-12);
  EXPECT_NEAR(y, 0.4, 1e-12);
}

// With nothing earlier to cancel, a run turns its error to where the gates up to the next
// run leave it in the xy-plane: before an SX (Y → Z), along X.
TEST(RunFrames, AFirstRunLooksAheadThroughSingleQubitGates) {
  const std::vector<double> found = frames({sx(0)}, {0, 1});
  const auto [x, y] = turned(found[0]);
  EXPECT_NEAR(y, 0.0, 1e-12);
  EXPECT_NEAR(std::abs(x), 0.5, 1e-12);
  // Through a gate of two qubits the look-ahead stops; the error spreads to X X and Y X,
  // which no run of qubit 0 alone can cancel.
  EXPECT_EQ(frames({cx(0, 1)}, {0, 1}), (std::vector<double>{0.0, 0.0}));
}

TEST(RunFrames, MeasurementsAndErrorFreeRunsLeaveNothingToCancel) {
  // The measurement lets the first run's error go (clbit wires at kQubits and above).
  EXPECT_EQ(frames({measure(0, kQubits)}, {0, 1}), (std::vector<double>{0.0, 0.0}));
  // A whole cycle leaves no error: the run after it finds nothing to cancel.
  EXPECT_EQ(frames({delay(0)}, {0, 1}, {4, 2}), (std::vector<double>{0.0, 0.0}));
}

}  // namespace
}  // namespace vornak
