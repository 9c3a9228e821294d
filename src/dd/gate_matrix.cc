#include "dd/gate_matrix.h"

#include <cmath>

namespace vornak::pauli {

Matrix single(Complex a, Complex b, Complex c, Complex d) {
  Matrix u;
  u.qubits = 1;
  u.m = {a, b, c, d};
  return u;
}

Matrix diagonal(Complex a, Complex b, Complex c, Complex d) {
  Matrix u;
  u.qubits = 2;
  u.at(0, 0) = a, u.at(1, 1) = b, u.at(2, 2) = c, u.at(3, 3) = d;
  return u;
}

Matrix u3(double theta, double phi, double lam) {
  const double c = std::cos(theta / 2), s = std::sin(theta / 2);
  return single(c, -std::exp(kI * lam) * s, std::exp(kI * phi) * s,
                std::exp(kI * (phi + lam)) * c);
}

Matrix rotation(double theta, double nx, double ny, double nz) {
  const double c = std::cos(theta / 2), s = std::sin(theta / 2);
  return single(Complex(c, -s * nz), Complex(-s * ny, -s * nx), Complex(s * ny, -s * nx),
                Complex(c, s * nz));
}

Matrix controlled(const Matrix& g) {
  Matrix u = diagonal(1, 1, 1, 1);
  u.at(1, 1) = g.at(0, 0), u.at(1, 3) = g.at(0, 1), u.at(3, 1) = g.at(1, 0), u.at(3, 3) = g.at(1, 1);
  return u;
}

}  // namespace vornak::pauli
