#include "qiskit/pulse_frames.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "qiskit/error_terms.h"
#include "qiskit/pauli_images.h"

namespace vornak::bridge {
namespace {

using namespace pauli;  // the Pauli strings and gate images this file works with

// Whether the vector (a, b) is longer than kNegligible. Not through std::hypot: glibc 2.35
// gave hypot a new symbol version, which a wheel for older Linux systems cannot require.
bool above_negligible(double a, double b) { return a * a + b * b > kNegligible * kNegligible; }

// Carries the terms on the gate's `qubits` through it: U P U†, each term of weight up to two.
// `images` are U's (kept between calls for a gate without parameters).
void carry(Errors& errors, const Matrix& u, const std::uint32_t* qubits, Images& images,
           std::vector<std::pair<Key, std::array<double, 2>>>& scratch) {
  errors.take(qubits, u.qubits, scratch);
  for (const auto& [key, value] : scratch) {
    int label = 0;
    std::uint32_t rest = 0;  // the (qubit, letter) off the gate, or 0
    for (std::uint32_t part : {first(key), second(key)}) {
      if (part == 0) continue;
      bool on = false;
      for (std::uint32_t k = 0; k < u.qubits; ++k) {
        if (part / 4 == qubits[k]) label |= static_cast<int>(part % 4) << (2 * k), on = true;
      }
      if (!on) rest = part;
    }
    images.find(u, label);
    for (std::uint8_t t = 0; t < images.count[label]; ++t) {
      const auto [image, c] = images.terms[label][t];
      std::uint32_t parts[3] = {rest, 0, 0};
      std::uint32_t weight = rest != 0 ? 1 : 0;
      for (std::uint32_t k = 0; k < u.qubits; ++k) {
        const std::uint32_t letter = (image >> (2 * k)) & 3;
        if (letter != 0) parts[weight++] = qubits[k] * 4 + letter;
      }
      if (weight > 2) continue;  // spread too far to be undone by a single-qubit run
      const std::array<double, 2> image_value{value[0] * c, value[1] * c};
      if (small_term(image_value)) continue;
      errors.add(make_key(parts[0], weight == 2 ? parts[1] : 0), image_value);
    }
  }
}

}  // namespace

std::vector<double> run_frames(const Source& source, const Reading& reading, const DdPlan& plan,
                               const Inputs& in) {
  const std::vector<double>& residues = in.options.residues;
  if (residues.empty() || plan.runs.empty()) return {};
  std::vector<double> frames(plan.runs.size(), 0.0);
  Errors errors(in.nq);
  std::vector<std::pair<Key, std::array<double, 2>>> scratch;
  const std::size_t blocks = in.cycle / in.n;

  // The residue (off resonance x, y, z, over-rotation x, y, z) of a run of `count` pulses.
  auto residue = [&](std::uint32_t count) {
    std::array<double, 6> r{};
    const std::size_t whole = count / in.cycle, part = (count % in.cycle) / in.n;
    for (int a = 0; a < 6; ++a) {
      r[a] = static_cast<double>(whole) * residues[6 * (blocks - 1) + a];
      if (part != 0) r[a] += residues[6 * (part - 1) + a];
    }
    return r;
  };
  auto leaves_error = [](const std::array<double, 6>& r) {
    double size = 0;
    for (double v : r) size += v * v;
    return size >= kNegligible;
  };
  // The qubit's next run that leaves an error, by run.
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::vector<std::size_t> next(plan.runs.size(), kNone), last(in.nq, kNone);
  for (std::size_t k = plan.runs.size(); k-- > 0;) {
    const std::uint32_t q = static_cast<std::uint32_t>(plan.runs[k].qubit);
    next[k] = last[q];
    if (leaves_error(residue(plan.runs[k].count))) last[q] = k;
  }
  // Nothing earlier to cancel: where the qubit's next run with an error follows after
  // single-qubit gates only (at most kLookAhead nodes on), the θ that leaves this run's
  // error in the xy-plane there, where that run can cancel it; else 0.
  constexpr std::size_t kLookAhead = 512;
  // The positions of each qubit's nodes in order, for the look-ahead to walk only its own.
  std::vector<std::size_t> first_on(in.nq + 1, 0);
  for (std::size_t i = 0; i < reading.order.size(); ++i) {
    for (Qubit w : reading.core.node(static_cast<NodeId>(i)).qubits) {
      if (w < in.nq) ++first_on[w + 1];
    }
  }
  for (std::uint32_t q = 0; q < in.nq; ++q) first_on[q + 1] += first_on[q];
  std::vector<std::uint32_t> positions(first_on[in.nq]);
  {
    std::vector<std::size_t> fill(first_on.begin(), first_on.end() - 1);
    for (std::size_t i = 0; i < reading.order.size(); ++i) {
      for (Qubit w : reading.core.node(static_cast<NodeId>(i)).qubits) {
        if (w < in.nq) positions[fill[w]++] = static_cast<std::uint32_t>(i);
      }
    }
  }
  auto ahead = [&](std::size_t index, double rx, double ry) {
    const std::uint32_t q = static_cast<std::uint32_t>(plan.runs[index].qubit);
    if (next[index] == kNone) return 0.0;
    const std::size_t from = plan.runs[index].before, to = plan.runs[next[index]].before;
    if (to - from > kLookAhead) return 0.0;
    Turn w = kNoTurn;
    Matrix g;
    Images images;
    const auto own = positions.begin() + static_cast<std::ptrdiff_t>(first_on[q]);
    const auto own_end = positions.begin() + static_cast<std::ptrdiff_t>(first_on[q + 1]);
    for (auto at = std::lower_bound(own, own_end, from); at != own_end && *at < to; ++at) {
      const std::size_t j = *at;
      if (reading.flags[j] & kDdNodeIdle) continue;
      const std::uint32_t node = reading.order[j];
      QkCircuitInstructionView view;
      source.view(node, &view);
      const QkOperationKind kind = source.kind(node);
      if (kind == QkOperationKind_Barrier || kind == QkOperationKind_Delay) continue;
      if (view.num_qubits != 1 || !read_matrix(source, node, view, g)) return 0.0;
      images.known.fill(false);
      w = compose(turn_of(g, images), w);
    }
    const double a = w[6] * rx + w[7] * ry, b = w[7] * rx - w[6] * ry;
    return above_negligible(a, b) ? std::atan2(-a, b) : 0.0;
  };
  auto choose = [&](std::size_t index) {
    const DdRun& run = plan.runs[index];
    const std::uint32_t q = static_cast<std::uint32_t>(run.qubit);
    const std::array<double, 6> r = residue(run.count);
    if (!leaves_error(r)) return;
    errors.flush(q, scratch);
    // The overlap of the turned residue with the errors present: C cos θ + S sin θ.
    const std::array<double, 2>& ax = errors.coefficient(q, kLetterX);
    const std::array<double, 2>& ay = errors.coefficient(q, kLetterY);
    double c = 0, s = 0;
    for (int kind = 0; kind < 2; ++kind) {
      const double rx = r[3 * kind], ry = r[3 * kind + 1];
      c += ax[kind] * rx + ay[kind] * ry;
      s += -ax[kind] * ry + ay[kind] * rx;
    }
    const double theta = above_negligible(c, s) ? std::atan2(-s, -c)
                         : r[0] != 0 || r[1] != 0  ? ahead(index, r[0], r[1])
                                                   : ahead(index, r[3], r[4]);
    frames[index] = theta;
    const double ct = std::cos(theta), st = std::sin(theta);
    std::array<double, 2> x, y, z;
    for (int kind = 0; kind < 2; ++kind) {
      const double rx = r[3 * kind], ry = r[3 * kind + 1];
      x[kind] = ct * rx - st * ry;
      y[kind] = st * rx + ct * ry;
      z[kind] = r[3 * kind + 2];
    }
    errors.add(make_key(q * 4 + kLetterX, 0), x);
    errors.add(make_key(q * 4 + kLetterY, 0), y);
    errors.add(make_key(q * 4 + 3, 0), z);
  };

  std::size_t run = 0;
  Matrix u;
  // By gate number, for gates without parameters; `fresh` for the others, emptied each time.
  std::vector<std::unique_ptr<Images>> fixed;
  Images fresh;
  for (std::size_t i = 0; i < reading.order.size(); ++i) {
    for (; run < plan.runs.size() && plan.runs[run].before == i; ++run) choose(run);
    if (reading.flags[i] & kDdNodeIdle) continue;
    // The core node's wires: the qubits, then the clbits (at nq and above).
    bool touched = false;
    for (Qubit w : reading.core.node(static_cast<NodeId>(i)).qubits) {
      touched = touched || (w < in.nq && errors.touches(static_cast<std::uint32_t>(w)));
    }
    if (!touched) continue;
    const std::uint32_t node = reading.order[i];
    QkCircuitInstructionView view;
    source.view(node, &view);
    const QkOperationKind kind = source.kind(node);
    if (kind == QkOperationKind_Barrier || kind == QkOperationKind_Delay) continue;
    if (kind == QkOperationKind_Gate && view.num_qubits == 1 && view.num_params == 1) {
      // A turn about z (rz, p, u1: the circuit's most common gates) in closed form.
      const QkGate g = source.gate(node, view);
      const double angle = qk_param_as_real(view.params);
      if ((g == QkGate_RZ || g == QkGate_Phase || g == QkGate_U1) && std::isfinite(angle)) {
        const double c = std::cos(angle), s = std::sin(angle);
        errors.turn(view.qubits[0], Turn{c, -s, 0, s, c, 0, 0, 0, 1});
        continue;
      }
    }
    int gate = -1;
    if (read_matrix(source, node, view, u, &gate)) {
      Images* images = &fresh;
      if (kind == QkOperationKind_Gate && view.num_params == 0) {
        const auto g = static_cast<std::size_t>(gate);
        if (g >= fixed.size()) fixed.resize(g + 1);
        if (!fixed[g]) fixed[g] = std::make_unique<Images>();
        images = fixed[g].get();
      } else {
        fresh.known.fill(false);
      }
      if (u.qubits == 1) {
        errors.turn(view.qubits[0], turn_of(u, *images));
      } else {
        carry(errors, u, view.qubits, *images, scratch);
      }
    } else {
      errors.take(view.qubits, view.num_qubits, scratch);  // measured, reset or unknown
    }
  }
  for (; run < plan.runs.size(); ++run) choose(run);
  return frames;
}

}  // namespace vornak::bridge
