#include "dd/run_frames.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <span>

#include "dd/error_terms.h"
#include "dd/pauli_images.h"

namespace vornak {
namespace {

using namespace pauli;  // the Pauli strings and gate images this file works with

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Where nothing earlier reaches a run's qubit, the look-ahead to the qubit's next run walks
// at most this many nodes.
constexpr std::size_t kLookAhead = 512;

// Whether the vector (a, b) is longer than kNegligible. Not through std::hypot: glibc 2.35
// gave hypot a new symbol version, which a wheel for older Linux systems cannot require.
bool above_negligible(double a, double b) { return a * a + b * b > kNegligible * kNegligible; }

// The residue (off resonance x, y, z, over-rotation x, y, z) of a run of `count` pulses.
std::array<double, 6> residue(const RunResidues& sequence, std::uint32_t count) {
  const std::size_t blocks = sequence.cycle / sequence.n;
  std::array<double, 6> r{};
  const std::size_t whole = count / sequence.cycle, part = (count % sequence.cycle) / sequence.n;
  for (int a = 0; a < 6; ++a) {
    r[a] = static_cast<double>(whole) * sequence.residues[6 * (blocks - 1) + a];
    if (part != 0) r[a] += sequence.residues[6 * (part - 1) + a];
  }
  return r;
}

bool leaves_error(const std::array<double, 6>& r) {
  double size = 0;
  for (double v : r) size += v * v;
  return size >= kNegligible;
}

// The frames of one plan, chosen run by run in the order of the record.
class FrameChooser {
 public:
  FrameChooser(const QuantumDAG& core, const std::vector<std::uint8_t>& flags, std::uint32_t nq,
               const DdPlan& plan, const RunResidues& sequence, const OperationMatrices& ops)
      : core_(core), flags_(flags), nq_(nq), plan_(plan), sequence_(sequence), ops_(ops),
        frames_(plan.runs.size(), 0.0), errors_(nq) {
    find_next_runs();
    find_positions();
  }

  std::vector<double> run() {
    std::size_t r = 0;
    for (std::size_t i = 0; i < flags_.size(); ++i) {
      for (; r < plan_.runs.size() && plan_.runs[r].before == i; ++r) choose(r);
      if (!(flags_[i] & kDdNodeIdle)) carry_through(i);
    }
    for (; r < plan_.runs.size(); ++r) choose(r);
    return std::move(frames_);
  }

 private:

  // By run: the qubit's next run that leaves an error, or kNone.
  void find_next_runs() {
    next_.assign(plan_.runs.size(), kNone);
    std::vector<std::size_t> last(nq_, kNone);
    for (std::size_t k = plan_.runs.size(); k-- > 0;) {
      const std::uint32_t q = static_cast<std::uint32_t>(plan_.runs[k].qubit);
      next_[k] = last[q];
      if (leaves_error(residue(sequence_, plan_.runs[k].count))) last[q] = k;
    }
  }

  // The positions of each qubit's nodes in order, for the look-ahead to walk only its own:
  // qubit q's are positions_[first_on_[q], first_on_[q + 1]).
  void find_positions() {
    first_on_.assign(nq_ + 1, 0);
    for (std::size_t i = 0; i < flags_.size(); ++i) {
      for (Qubit w : core_.node(static_cast<NodeId>(i)).qubits) {
        if (w < nq_) ++first_on_[w + 1];
      }
    }
    for (std::uint32_t q = 0; q < nq_; ++q) first_on_[q + 1] += first_on_[q];
    positions_.resize(first_on_[nq_]);
    std::vector<std::size_t> fill(first_on_.begin(), first_on_.end() - 1);
    for (std::size_t i = 0; i < flags_.size(); ++i) {
      for (Qubit w : core_.node(static_cast<NodeId>(i)).qubits) {
        if (w < nq_) positions_[fill[w]++] = static_cast<std::uint32_t>(i);
      }
    }
  }

  // Nothing earlier to cancel: where the qubit's next run with an error follows after
  // single-qubit gates only (at most kLookAhead nodes on), the θ that leaves the error
  // (rx, ry) of run `index` in the xy-plane there, where that run can cancel it; else 0.
  double ahead(std::size_t index, double rx, double ry) const {
    const std::uint32_t q = static_cast<std::uint32_t>(plan_.runs[index].qubit);
    if (next_[index] == kNone) return 0.0;
    const std::size_t from = plan_.runs[index].before, to = plan_.runs[next_[index]].before;
    if (to - from > kLookAhead) return 0.0;
    Turn w = kNoTurn;
    Matrix g;
    Images images;
    double angle = 0.0;
    int fixed = -1;
    const auto own = positions_.begin() + static_cast<std::ptrdiff_t>(first_on_[q]);
    const auto own_end = positions_.begin() + static_cast<std::ptrdiff_t>(first_on_[q + 1]);
    for (auto at = std::lower_bound(own, own_end, from); at != own_end && *at < to; ++at) {
      if (flags_[*at] & kDdNodeIdle) continue;
      const OperationMatrices::Read read = ops_.read(*at, false, g, angle, fixed);
      if (read == OperationMatrices::Read::kWait) continue;
      if (read != OperationMatrices::Read::kMatrix || g.qubits != 1) return 0.0;
      images.known.fill(false);
      w = compose(turn_of(g, images), w);
    }
    const double a = w[6] * rx + w[7] * ry, b = w[7] * rx - w[6] * ry;
    return above_negligible(a, b) ? std::atan2(-a, b) : 0.0;
  }

  // Chooses the frame of run `index` against the errors present on its qubit, and adds the
  // run's own error, turned by it.
  void choose(std::size_t index) {
    const DdRun& run = plan_.runs[index];
    const std::uint32_t q = static_cast<std::uint32_t>(run.qubit);
    const std::array<double, 6> r = residue(sequence_, run.count);
    if (!leaves_error(r)) return;
    errors_.flush(q, scratch_);
    // The overlap of the turned residue with the errors present: C cos θ + S sin θ.
    const Term& ax = errors_.coefficient(q, kLetterX);
    const Term& ay = errors_.coefficient(q, kLetterY);
    double c = 0, s = 0;
    for (int kind = 0; kind < 2; ++kind) {
      const double rx = r[3 * kind], ry = r[3 * kind + 1];
      c += ax[kind] * rx + ay[kind] * ry;
      s += -ax[kind] * ry + ay[kind] * rx;
    }
    const double theta = above_negligible(c, s) ? std::atan2(-s, -c)
                         : r[0] != 0 || r[1] != 0  ? ahead(index, r[0], r[1])
                                                   : ahead(index, r[3], r[4]);
    frames_[index] = theta;
    const double ct = std::cos(theta), st = std::sin(theta);
    Term x, y, z;
    for (int kind = 0; kind < 2; ++kind) {
      const double rx = r[3 * kind], ry = r[3 * kind + 1];
      x[kind] = ct * rx - st * ry;
      y[kind] = st * rx + ct * ry;
      z[kind] = r[3 * kind + 2];
    }
    errors_.add(make_key(q * 4 + kLetterX, 0), x);
    errors_.add(make_key(q * 4 + kLetterY, 0), y);
    errors_.add(make_key(q * 4 + kLetterZ, 0), z);
  }

  // Carries the errors on node i's qubits through its operation (read only where some
  // error is on them).
  void carry_through(std::size_t i) {
    const std::span<const Qubit> wires = core_.node(static_cast<NodeId>(i)).qubits;
    bool touched = false;
    for (Qubit w : wires) {
      touched = touched || (w < nq_ && errors_.touches(static_cast<std::uint32_t>(w)));
    }
    if (!touched) return;
    qubits_.clear();
    for (Qubit w : wires) {
      if (w < nq_) qubits_.push_back(static_cast<std::uint32_t>(w));
    }
    double angle = 0.0;
    int fixed = -1;
    switch (ops_.read(i, true, u_, angle, fixed)) {
      case OperationMatrices::Read::kWait:
        return;
      case OperationMatrices::Read::kTurnZ:
        errors_.turn(qubits_[0], z_turn(angle));
        return;
      case OperationMatrices::Read::kMatrix: {
        Images* images = &fresh_;
        if (fixed >= 0) {
          const auto g = static_cast<std::size_t>(fixed);
          if (g >= fixed_.size()) fixed_.resize(g + 1);
          if (!fixed_[g]) fixed_[g] = std::make_unique<Images>();
          images = fixed_[g].get();
        } else {
          fresh_.known.fill(false);
        }
        if (u_.qubits == 1) {
          errors_.turn(qubits_[0], turn_of(u_, *images));
        } else {
          errors_.carry(u_, qubits_.data(), *images, scratch_);
        }
        return;
      }
      case OperationMatrices::Read::kOpaque:
        errors_.take(qubits_.data(), static_cast<std::uint32_t>(qubits_.size()), scratch_);
        return;
    }
  }

  const QuantumDAG& core_;
  const std::vector<std::uint8_t>& flags_;
  const std::uint32_t nq_;
  const DdPlan& plan_;
  const RunResidues& sequence_;
  const OperationMatrices& ops_;
  std::vector<double> frames_;
  Errors errors_;
  TermList scratch_;
  std::vector<std::size_t> next_;
  std::vector<std::size_t> first_on_;
  std::vector<std::uint32_t> positions_;
  std::vector<std::uint32_t> qubits_;  // of the node being carried through
  Matrix u_;
  // By `fixed` number, for gates without parameters; fresh_ for the others, emptied each time.
  std::vector<std::unique_ptr<Images>> fixed_;
  Images fresh_;
};

}  // namespace

std::vector<double> run_frames(const QuantumDAG& core, const std::vector<std::uint8_t>& flags,
                               std::uint32_t nq, const DdPlan& plan, const RunResidues& sequence,
                               const OperationMatrices& ops) {
  if (sequence.residues.empty() || plan.runs.empty()) return {};
  return FrameChooser(core, flags, nq, plan, sequence, ops).run();
}

}  // namespace vornak
