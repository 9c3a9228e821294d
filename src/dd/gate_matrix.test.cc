#include "dd/gate_matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace vornak::pauli {
namespace {

constexpr double kPi = std::numbers::pi;

// The product a·b of two matrices of the same size.
Matrix product(const Matrix& a, const Matrix& b) {
  Matrix p;
  p.qubits = a.qubits;
  const std::size_t d = std::size_t{1} << a.qubits;
  for (std::size_t r = 0; r < d; ++r) {
    for (std::size_t c = 0; c < d; ++c) {
      for (std::size_t j = 0; j < d; ++j) p.at(r, c) += a.at(r, j) * b.at(j, c);
    }
  }
  return p;
}

// The largest distance between the entries of `a` and `phase`·`b`.
double distance(const Matrix& a, const Matrix& b, Complex phase = 1.0) {
  double worst = 0;
  for (std::size_t k = 0; k < 16; ++k) worst = std::max(worst, std::abs(a.m[k] - phase * b.m[k]));
  return worst;
}

Matrix adjoint(const Matrix& a) {
  Matrix h;
  h.qubits = a.qubits;
  const std::size_t d = std::size_t{1} << a.qubits;
  for (std::size_t r = 0; r < d; ++r) {
    for (std::size_t c = 0; c < d; ++c) h.at(r, c) = std::conj(a.at(c, r));
  }
  return h;
}

TEST(GateMatrix, RotationsAndU3AreUnitaryAndAgreeWhereTheyMeet) {
  const Matrix identity = single(1, 0, 0, 1);
  for (double theta : {0.0, 0.3, kPi / 2, kPi, 2.5, -1.0}) {
    const Matrix rx = rotation(theta, 1, 0, 0), ry = rotation(theta, 0, 1, 0);
    for (const Matrix& u : {rx, ry, rotation(theta, 0, 0, 1), u3(theta, 0.4, -1.3)}) {
      EXPECT_LT(distance(product(u, adjoint(u)), identity), 1e-15) << theta;
    }
    // Qiskit's identities: RX(θ) = U(θ, −π/2, π/2), RY(θ) = U(θ, 0, 0).
    EXPECT_LT(distance(rx, u3(theta, -kPi / 2, kPi / 2)), 1e-15) << theta;
    EXPECT_LT(distance(ry, u3(theta, 0, 0)), 1e-15) << theta;
  }
  // RZ(θ) is P(θ) up to the global phase e^{-iθ/2}; RX(π) is X up to −i.
  EXPECT_LT(distance(rotation(0.7, 0, 0, 1), single(1, 0, 0, std::exp(kI * 0.7)),
                     std::exp(-kI * 0.35)),
            1e-15);
  EXPECT_LT(distance(rotation(kPi, 1, 0, 0), single(0, 1, 1, 0), -kI), 1e-15);
  // A rotation composes: RZ(a) RZ(b) = RZ(a + b).
  EXPECT_LT(distance(product(rotation(0.4, 0, 0, 1), rotation(1.1, 0, 0, 1)),
                     rotation(1.5, 0, 0, 1)),
            1e-15);
}

// Qiskit's qubit order: the first qubit is the low bit, so a controlled gate on (control 0,
// target 1) acts where bit 0 is set, and CX swaps |01> and |11> (indices 1 and 3).
TEST(GateMatrix, ControlledActsOnTheSecondQubitWhereTheFirstIsOne) {
  const Matrix cx = controlled(single(0, 1, 1, 0));
  Matrix expected;
  expected.qubits = 2;
  expected.at(0, 0) = expected.at(2, 2) = 1;
  expected.at(1, 3) = expected.at(3, 1) = 1;
  EXPECT_EQ(distance(cx, expected), 0.0);
  EXPECT_EQ(distance(product(cx, cx), diagonal(1, 1, 1, 1)), 0.0);
  // Controlled-Z is diagonal on both qubits, whichever is the control.
  EXPECT_EQ(distance(controlled(single(1, 0, 0, -1)), diagonal(1, 1, 1, -1)), 0.0);
}

}  // namespace
}  // namespace vornak::pauli
