#include "dd/pauli_images.h"

#include <cmath>
#include <cstddef>

namespace vornak::pauli {
namespace {

// A Pauli string of the gate's qubits has one entry per row: column[r], of value phase[r].
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

Turn z_turn(double angle) {
  const double c = std::cos(angle), s = std::sin(angle);
  return Turn{c, -s, 0, s, c, 0, 0, 0, 1};
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

}  // namespace vornak::pauli
