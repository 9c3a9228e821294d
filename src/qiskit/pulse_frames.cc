#include "qiskit/pulse_frames.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <numbers>
#include <utility>
#include <vector>

#include "graph/term_table.h"

namespace vornak::bridge {
namespace {

using Complex = std::complex<double>;
constexpr Complex kI{0.0, 1.0};
constexpr std::size_t kMaxTerms = 4096;  // strings of two qubits; beyond it, new ones are let go
constexpr double kNegligible = 1e-9;
// Whether the vector (a, b) is longer than kNegligible. Not through std::hypot: glibc 2.35
// gave hypot a new symbol version, which a wheel for older Linux systems cannot require.
bool above_negligible(double a, double b) { return a * a + b * b > kNegligible * kNegligible; }

// Terms smaller than this (in units of the pulse error; a lone pair leaves 4) are let go: they
// cannot sway a choice.
constexpr double kSmallTerm = 1e-3;

// A unitary of one or two qubits, row-major, the first qubit the least significant bit.
struct Matrix {
  std::uint32_t qubits = 0;
  std::array<Complex, 16> m{};
  Complex& at(std::size_t r, std::size_t c) { return m[r * (std::size_t{1} << qubits) + c]; }
  Complex at(std::size_t r, std::size_t c) const { return m[r * (std::size_t{1} << qubits) + c]; }
};

Matrix one(Complex a, Complex b, Complex c, Complex d) {
  Matrix u;
  u.qubits = 1;
  u.m = {a, b, c, d};
  return u;
}

Matrix diagonal2(Complex a, Complex b, Complex c, Complex d) {
  Matrix u;
  u.qubits = 2;
  u.at(0, 0) = a, u.at(1, 1) = b, u.at(2, 2) = c, u.at(3, 3) = d;
  return u;
}

// U(θ, φ, λ) as Qiskit defines it.
Matrix u3(double theta, double phi, double lam) {
  const double c = std::cos(theta / 2), s = std::sin(theta / 2);
  return one(c, -std::exp(kI * lam) * s, std::exp(kI * phi) * s, std::exp(kI * (phi + lam)) * c);
}

Matrix rotation(double theta, double nx, double ny, double nz) {
  const double c = std::cos(theta / 2), s = std::sin(theta / 2);
  return one(Complex(c, -s * nz), Complex(-s * ny, -s * nx), Complex(s * ny, -s * nx),
             Complex(c, s * nz));
}

// A controlled single-qubit gate, control on the first qubit.
Matrix controlled(const Matrix& g) {
  Matrix u = diagonal2(1, 1, 1, 1);
  u.at(1, 1) = g.at(0, 0), u.at(1, 3) = g.at(0, 1), u.at(3, 1) = g.at(1, 0), u.at(3, 3) = g.at(1, 1);
  return u;
}

// The matrix of the standard gate `gate` with parameters `p`, for the gates a physical
// circuit holds; false for any other.
bool standard_matrix(QkGate gate, const double* p, Matrix& u) {
  const double pi = std::numbers::pi;
  const double r = std::numbers::sqrt2 / 2;
  switch (gate) {
    case QkGate_I: u = one(1, 0, 0, 1); return true;
    case QkGate_X: u = one(0, 1, 1, 0); return true;
    case QkGate_Y: u = one(0, -kI, kI, 0); return true;
    case QkGate_Z: u = one(1, 0, 0, -1); return true;
    case QkGate_H: u = one(r, r, r, -r); return true;
    case QkGate_S: u = one(1, 0, 0, kI); return true;
    case QkGate_Sdg: u = one(1, 0, 0, -kI); return true;
    case QkGate_T: u = one(1, 0, 0, std::exp(kI * (pi / 4))); return true;
    case QkGate_Tdg: u = one(1, 0, 0, std::exp(-kI * (pi / 4))); return true;
    case QkGate_SX: u = one({0.5, 0.5}, {0.5, -0.5}, {0.5, -0.5}, {0.5, 0.5}); return true;
    case QkGate_SXdg: u = one({0.5, -0.5}, {0.5, 0.5}, {0.5, 0.5}, {0.5, -0.5}); return true;
    case QkGate_Phase:
    case QkGate_U1: u = one(1, 0, 0, std::exp(kI * p[0])); return true;
    case QkGate_RX: u = rotation(p[0], 1, 0, 0); return true;
    case QkGate_RY: u = rotation(p[0], 0, 1, 0); return true;
    case QkGate_RZ: u = rotation(p[0], 0, 0, 1); return true;
    case QkGate_R: u = rotation(p[0], std::cos(p[1]), std::sin(p[1]), 0); return true;
    case QkGate_U:
    case QkGate_U3: u = u3(p[0], p[1], p[2]); return true;
    case QkGate_U2: u = u3(pi / 2, p[0], p[1]); return true;
    case QkGate_CX: u = controlled(one(0, 1, 1, 0)); return true;
    case QkGate_CY: u = controlled(one(0, -kI, kI, 0)); return true;
    case QkGate_CZ: u = diagonal2(1, 1, 1, -1); return true;
    case QkGate_CPhase: u = diagonal2(1, 1, 1, std::exp(kI * p[0])); return true;
    case QkGate_CRZ: u = controlled(rotation(p[0], 0, 0, 1)); return true;
    case QkGate_RZZ: {
      const Complex a = std::exp(-kI * (p[0] / 2)), b = std::conj(a);
      u = diagonal2(a, b, b, a);
      return true;
    }
    case QkGate_Swap:
      u = diagonal2(1, 0, 0, 1);
      u.at(1, 2) = u.at(2, 1) = 1;
      return true;
    case QkGate_ECR:
      u = Matrix{};
      u.qubits = 2;
      u.at(0, 1) = r, u.at(0, 3) = kI * r, u.at(1, 0) = r, u.at(1, 2) = -kI * r;
      u.at(2, 1) = kI * r, u.at(2, 3) = r, u.at(3, 0) = -kI * r, u.at(3, 2) = r;
      return true;
    default: return false;
  }
}

// A Pauli string of the gate's qubits (letter of qubit k in bits 2k, 2k+1; I, X, Y, Z =
// 0..3) has one entry per row: column[r], of value phase[r].
struct SparsePauli {
  std::array<std::size_t, 4> column{};
  std::array<Complex, 4> phase{};
};

SparsePauli sparse_pauli(int label, std::uint32_t qubits) {
  SparsePauli p;
  for (std::size_t r = 0; r < (std::size_t{1} << qubits); ++r) {
    std::size_t c = r;
    Complex v = 1;
    for (std::uint32_t k = 0; k < qubits; ++k) {
      const int letter = (label >> (2 * k)) & 3;
      const bool bit = (r >> k) & 1;
      if (letter == 1 || letter == 2) c ^= std::size_t{1} << k;  // X, Y flip the bit
      if (letter == 2) v *= bit ? kI : -kI;                     // <r|Y|r^1>
      if (letter == 3 && bit) v = -v;
    }
    p.column[r] = c;
    p.phase[r] = v;
  }
  return p;
}

// U P U† in the Pauli basis: the real coefficient of each string of the gate's qubits.
std::array<double, 16> conjugate(const Matrix& u, int label) {
  const std::size_t d = std::size_t{1} << u.qubits;
  const SparsePauli p = sparse_pauli(label, u.qubits);
  // (U P)[r][column[k]] = U[r][k] phase[k]; then (U P U†)[r][c] = sum_j (U P)[r][j] conj(U[c][j]).
  std::array<Complex, 16> up{}, out{};
  for (std::size_t r = 0; r < d; ++r) {
    for (std::size_t k = 0; k < d; ++k) up[r * d + p.column[k]] = u.at(r, k) * p.phase[k];
  }
  for (std::size_t r = 0; r < d; ++r) {
    for (std::size_t c = 0; c < d; ++c) {
      Complex v = 0;
      for (std::size_t j = 0; j < d; ++j) v += up[r * d + j] * std::conj(u.at(c, j));
      out[r * d + c] = v;
    }
  }
  // tr(Q† M) / d = sum_r conj(Q[r][column[r]]) M[r][column[r]] / d.
  std::array<double, 16> coefficients{};
  const int strings = 1 << (2 * u.qubits);
  for (int q = 0; q < strings; ++q) {
    const SparsePauli s = sparse_pauli(q, u.qubits);
    Complex trace = 0;
    for (std::size_t r = 0; r < d; ++r) trace += std::conj(s.phase[r]) * out[r * d + s.column[r]];
    coefficients[q] = trace.real() / static_cast<double>(d);
  }
  return coefficients;
}

// conjugate(), in closed form for a diagonal single-qubit gate diag(a, b) (rz, the
// circuit's most common gate): with w = a·b*, X goes to Re w·X − Im w·Y, Y to Im w·X +
// Re w·Y, and Z stays.
std::array<double, 16> image_of(const Matrix& u, int label) {
  if (u.qubits != 1 || u.at(0, 1) != 0.0 || u.at(1, 0) != 0.0) return conjugate(u, label);
  const Complex w = u.at(0, 0) * std::conj(u.at(1, 1));
  std::array<double, 16> image{};
  if (label == 1) image[1] = w.real(), image[2] = -w.imag();
  if (label == 2) image[1] = w.imag(), image[2] = w.real();
  if (label == 3) image[3] = 1.0;
  if (label == 0) image[0] = 1.0;
  return image;
}

// A Pauli string of weight one or two, as (qubit * 4 + letter) of each, the smaller first;
// 0 for no second qubit.
using Key = std::uint64_t;
constexpr std::uint32_t kLetterX = 1, kLetterY = 2;

Key make_key(std::uint32_t a, std::uint32_t b) {
  if (b != 0 && b < a) std::swap(a, b);
  if (a == 0) std::swap(a, b);
  return (Key{b} << 32) | a;
}
std::uint32_t first(Key k) { return static_cast<std::uint32_t>(k); }
std::uint32_t second(Key k) { return static_cast<std::uint32_t>(k >> 32); }

// A rotation of a qubit's X, Y, Z (the images of a single-qubit gate, composed), row-major:
// entry 3a + b is the coefficient of letter a + 1 in the image of letter b + 1.
using Turn = std::array<double, 9>;
constexpr Turn kNoTurn{1, 0, 0, 0, 1, 0, 0, 0, 1};

// The first-order errors the runs so far leave, as Pauli sums carried to the present: one
// sum per kind of pulse error (off resonance, over-rotation). The strings of one qubit are
// kept densely, by qubit and letter; the strings of two in a map, listed on both qubits.
// The single-qubit gates a qubit goes through are composed into one turn, applied to its
// strings only when they are next needed (flush()): at a gate of two qubits or a run.
class Errors {
 public:
  explicit Errors(std::uint32_t nq)
      : single_(nq), has_single_(nq, 0), pairs_on_(nq), pending_(nq, kNoTurn), turned_(nq, 0) {}

  bool touches(std::uint32_t q) const { return has_single_[q] != 0 || !pairs_on_[q].empty(); }
  const std::array<double, 2>& coefficient(std::uint32_t q, std::uint32_t letter) const {
    return single_[q][letter - 1];
  }
  void add(Key key, const std::array<double, 2>& value) {
    if (second(key) == 0) {
      std::array<double, 2>& term = single_[first(key) / 4][first(key) % 4 - 1];
      term[0] += value[0];
      term[1] += value[1];
      has_single_[first(key) / 4] = 1;
      return;
    }
    std::array<double, 2>* term = pairs_.find(key);
    if (term == nullptr) {
      if (pairs_.size() >= kMaxTerms) return;
      term = &pairs_.at(key);
      pairs_on_[first(key) / 4].push_back(key);
      pairs_on_[second(key) / 4].push_back(key);
    }
    (*term)[0] += value[0];
    (*term)[1] += value[1];
  }
  // Composes `turn` (a single-qubit gate's images) into the turn pending on qubit q.
  void turn(std::uint32_t q, const Turn& turn) {
    Turn& pending = pending_[q];
    Turn product{};
    for (int a = 0; a < 3; ++a) {
      for (int c = 0; c < 3; ++c) {
        product[3 * a + c] = turn[3 * a] * pending[c] + turn[3 * a + 1] * pending[3 + c] +
                             turn[3 * a + 2] * pending[6 + c];
      }
    }
    pending = product;
    turned_[q] = 1;
  }
  // Applies the turn pending on qubit q to its strings. Images below kSmallTerm are let go.
  void flush(std::uint32_t q, std::vector<std::pair<Key, std::array<double, 2>>>& scratch) {
    if (turned_[q] == 0) return;
    turned_[q] = 0;
    const Turn m = pending_[q];
    pending_[q] = kNoTurn;
    scratch.clear();
    if (has_single_[q] != 0) {
      for (std::uint32_t letter = 1; letter <= 3; ++letter) {
        scratch.emplace_back(make_key(q * 4 + letter, 0), single_[q][letter - 1]);
      }
      single_[q] = {};
      has_single_[q] = 0;
    }
    take_pairs(q, scratch);
    for (const auto& [key, value] : scratch) {
      const bool own_first = first(key) / 4 == q;
      const std::uint32_t letter = (own_first ? first(key) : second(key)) % 4;
      const std::uint32_t rest = own_first ? second(key) : first(key);
      for (std::uint32_t a = 1; a <= 3; ++a) {
        const double c = m[3 * (a - 1) + (letter - 1)];
        if (std::abs(c) < kNegligible) continue;
        const std::array<double, 2> image{value[0] * c, value[1] * c};
        if (std::abs(image[0]) < kSmallTerm && std::abs(image[1]) < kSmallTerm) continue;
        add(make_key(q * 4 + a, rest), image);
      }
    }
  }
  // Takes out the terms on any of `qubits`, into `out`, with their turns applied first.
  // O(terms taken and their qubits' lists).
  void take(const std::uint32_t* qubits, std::uint32_t n,
            std::vector<std::pair<Key, std::array<double, 2>>>& out) {
    for (std::uint32_t k = 0; k < n; ++k) flush(qubits[k], out);
    out.clear();
    for (std::uint32_t k = 0; k < n; ++k) {
      const std::uint32_t q = qubits[k];
      if (has_single_[q] != 0) {
        for (std::uint32_t letter = 1; letter <= 3; ++letter) {
          out.emplace_back(make_key(q * 4 + letter, 0), single_[q][letter - 1]);
        }
        single_[q] = {};
        has_single_[q] = 0;
      }
      take_pairs(q, out);
    }
  }

 private:
  // Takes out the strings of two qubits that include q, appending them to `out`.
  void take_pairs(std::uint32_t q, std::vector<std::pair<Key, std::array<double, 2>>>& out) {
    {
      std::vector<Key>& own = pairs_on_[q];
      for (Key key : own) {
        std::array<double, 2> value;
        if (!pairs_.take(key, value)) continue;  // taken through the gate's other qubit
        out.emplace_back(key, value);
        const std::uint32_t part = first(key) / 4 == q ? second(key) : first(key);
        std::vector<Key>& other = pairs_on_[part / 4];
        for (std::size_t j = 0; j < other.size(); ++j) {
          if (other[j] == key) {
            other[j] = other.back();
            other.pop_back();
            break;
          }
        }
      }
      own.clear();
    }
  }

  std::vector<std::array<std::array<double, 2>, 3>> single_;  // by qubit, then X, Y, Z
  std::vector<std::uint8_t> has_single_;                      // by qubit: any added since taken
  TermTable pairs_;
  std::vector<std::vector<Key>> pairs_on_;
  std::vector<Turn> pending_;          // by qubit: the turn not yet applied to its strings
  std::vector<std::uint8_t> turned_;   // by qubit: whether that turn is not kNoTurn
};

// U P U† of a gate U for each string P of its qubits, as far as asked for.
struct Images {
  std::array<bool, 16> known{};
  std::array<std::array<double, 16>, 16> of{};
  // The strings (other than I) each image holds, with their coefficients: few for most
  // gates (one for a Clifford gate's).
  std::array<std::uint8_t, 16> count{};
  std::array<std::array<std::pair<std::uint8_t, double>, 15>, 16> terms{};

  void find(const Matrix& u, int label) {
    if (known[label]) return;
    of[label] = image_of(u, label);
    known[label] = true;
    count[label] = 0;
    for (int image = 1; image < (1 << (2 * u.qubits)); ++image) {
      const double c = of[label][image];
      if (std::abs(c) >= kNegligible) terms[label][count[label]++] = {static_cast<std::uint8_t>(image), c};
    }
  }
};

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
      if (std::abs(image_value[0]) < kSmallTerm && std::abs(image_value[1]) < kSmallTerm) continue;
      errors.add(make_key(parts[0], weight == 2 ? parts[1] : 0), image_value);
    }
  }
}

// The matrix of the operation at `node` where it is a gate or unitary of one or two qubits
// with known numbers; false otherwise (a measurement, a reset, an unbound parameter, ...).
// `gate`, when given, receives the standard gate's number (-1 for a unitary).
bool read_matrix(const Source& source, std::uint32_t node, const QkCircuitInstructionView& view,
                 Matrix& u, int* gate = nullptr) {
  if (view.num_qubits == 0 || view.num_qubits > 2) return false;
  const QkOperationKind kind = source.kind(node);
  if (kind == QkOperationKind_Gate) {
    std::array<double, 4> params{};
    if (view.num_params > params.size()) return false;
    const std::size_t stride = qk_param_stride();
    for (std::uint32_t p = 0; p < view.num_params; ++p) {
      params[p] = qk_param_as_real(param_at(view.params, p, stride));
      if (!std::isfinite(params[p])) return false;
    }
    const QkGate g = source.gate(node, view);
    if (gate != nullptr) *gate = static_cast<int>(g);
    return standard_matrix(g, params.data(), u) && u.qubits == view.num_qubits;
  }
  if (kind == QkOperationKind_Unitary) {
    std::array<QkComplex64, 16> m{};
    source.unitary(node, m.data());
    u.qubits = view.num_qubits;
    for (std::size_t k = 0; k < (std::size_t{1} << (2 * u.qubits)); ++k) u.m[k] = {m[k].re, m[k].im};
    return true;
  }
  return false;
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
  // The qubit's next run that leaves an error, by run.
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::vector<std::size_t> next(plan.runs.size(), kNone), last(in.nq, kNone);
  for (std::size_t k = plan.runs.size(); k-- > 0;) {
    const std::uint32_t q = static_cast<std::uint32_t>(plan.runs[k].qubit);
    next[k] = last[q];
    double size = 0;
    for (double v : residue(plan.runs[k].count)) size += v * v;
    if (size >= kNegligible) last[q] = k;
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
    std::array<double, 9> w{1, 0, 0, 0, 1, 0, 0, 0, 1};  // rotation, row-major
    Matrix g;
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
      std::array<double, 9> turned{};
      for (int b = 0; b < 3; ++b) {
        const std::array<double, 16> image = conjugate(g, b + 1);
        for (int c = 0; c < 3; ++c) {
          for (int a = 0; a < 3; ++a) turned[3 * a + c] += image[a + 1] * w[3 * b + c];
        }
      }
      w = turned;
    }
    const double a = w[6] * rx + w[7] * ry, b = w[7] * rx - w[6] * ry;
    return above_negligible(a, b) ? std::atan2(-a, b) : 0.0;
  };
  auto choose = [&](std::size_t index) {
    const DdRun& run = plan.runs[index];
    const std::uint32_t q = static_cast<std::uint32_t>(run.qubit);
    const std::array<double, 6> r = residue(run.count);
    double size = 0;
    for (double v : r) size += v * v;
    if (size < kNegligible) return;
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
        Turn turn{};
        for (int b = 0; b < 3; ++b) {
          images->find(u, b + 1);
          for (int a = 0; a < 3; ++a) turn[3 * a + b] = images->of[b + 1][a + 1];
        }
        errors.turn(view.qubits[0], turn);
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
