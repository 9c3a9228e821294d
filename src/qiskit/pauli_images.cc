#include "qiskit/pauli_images.h"

#include <cmath>
#include <numbers>

#include "qiskit/python_values.h"

namespace vornak::bridge::pauli {
namespace {

constexpr Complex kI{0.0, 1.0};

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

// U P U† in the Pauli basis: the real coefficient of each string of the gate's qubits (letter
// of qubit k in bits 2k, 2k+1 of `label` and of the index; I, X, Y, Z = 0..3).
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

}  // namespace

void Images::find(const Matrix& u, int label) {
  if (known[label]) return;
  of[label] = image_of(u, label);
  known[label] = true;
  count[label] = 0;
  for (int image = 1; image < (1 << (2 * u.qubits)); ++image) {
    const double c = of[label][image];
    if (std::abs(c) >= kNegligible) terms[label][count[label]++] = {static_cast<std::uint8_t>(image), c};
  }
}

Turn turn_of(const Matrix& u, Images& images) {
  Turn turn{};
  for (int b = 0; b < 3; ++b) {
    images.find(u, b + 1);
    for (int a = 0; a < 3; ++a) turn[3 * a + b] = images.of[b + 1][a + 1];
  }
  return turn;
}

Turn compose(const Turn& later, const Turn& earlier) {
  Turn product{};
  for (int a = 0; a < 3; ++a) {
    for (int c = 0; c < 3; ++c) {
      product[3 * a + c] = later[3 * a] * earlier[c] + later[3 * a + 1] * earlier[3 + c] +
                           later[3 * a + 2] * earlier[6 + c];
    }
  }
  return product;
}

bool read_matrix(const Source& source, std::uint32_t node, const QkCircuitInstructionView& view,
                 Matrix& u, int* gate) {
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

}  // namespace vornak::bridge::pauli
