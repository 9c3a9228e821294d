#include "dd/pauli_images.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace vornak::pauli {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr int kX = 1, kY = 2, kZ = 3;

// The image of string `label` under `u`, found in fresh images.
std::array<double, 16> image(const Matrix& u, int label) {
  Images images;
  images.find(u, label);
  return images.of[label];
}

// A single-qubit image as exactly one string with coefficient `c`.
void expect_image(const Matrix& u, int label, int string, double c, double tolerance = 0.0) {
  const std::array<double, 16> got = image(u, label);
  for (int s = 0; s < 4; ++s) {
    EXPECT_NEAR(got[s], s == string ? c : 0.0, tolerance) << "label " << label << " string " << s;
  }
}

double largest_difference(const Turn& a, const Turn& b) {
  double worst = 0;
  for (std::size_t k = 0; k < a.size(); ++k) worst = std::max(worst, std::abs(a[k] - b[k]));
  return worst;
}

TEST(PauliImages, OfZUnderTheGatesOfAPhysicalCircuit) {
  const Matrix x = single(0, 1, 1, 0);
  const Matrix sx = single({0.5, 0.5}, {0.5, -0.5}, {0.5, -0.5}, {0.5, 0.5});
  expect_image(x, kZ, kZ, -1.0);
  expect_image(x, kX, kX, 1.0);
  expect_image(x, kY, kY, -1.0);
  // SX = √X turns the Bloch sphere by π/2 about x: Z → −Y, Y → Z, X stays.
  expect_image(sx, kZ, kY, -1.0);
  expect_image(sx, kY, kZ, 1.0);
  expect_image(sx, kX, kX, 1.0);
  for (double theta : {0.0, 0.25, kPi / 3, kPi, -2.0}) {
    const Matrix rz = rotation(theta, 0, 0, 1);
    expect_image(rz, kZ, kZ, 1.0);  // exactly: rz commutes with Z
    const std::array<double, 16> of_x = image(rz, kX);
    EXPECT_NEAR(of_x[kX], std::cos(theta), 1e-15);
    EXPECT_NEAR(of_x[kY], std::sin(theta), 1e-15);
    // The turn found from the matrix is the closed-form turn about z.
    Images of_rz;
    EXPECT_LT(largest_difference(turn_of(rz, of_rz), z_turn(theta)), 1e-15);
  }
}

TEST(PauliImages, OfTwoQubitStringsUnderCx) {
  const Matrix cx = controlled(single(0, 1, 1, 0));
  Images images;
  // Letters of qubit 0 (the control) in bits 0-1, of qubit 1 in bits 2-3.
  const int x0 = kX, z1 = kZ << 2;
  images.find(cx, x0);
  ASSERT_EQ(images.count[x0], 1);
  EXPECT_EQ(images.terms[x0][0].first, x0 | (kX << 2));  // X on the control spreads: X X
  EXPECT_NEAR(images.terms[x0][0].second, 1.0, 1e-15);
  images.find(cx, z1);
  ASSERT_EQ(images.count[z1], 1);
  EXPECT_EQ(images.terms[z1][0].first, kZ | z1);  // Z on the target spreads back: Z Z
  images.find(cx, kZ);
  ASSERT_EQ(images.count[kZ], 1);
  EXPECT_EQ(images.terms[kZ][0].first, kZ);  // Z on the control stays
}

TEST(PauliImages, TurnsCompose) {
  const Turn a = z_turn(0.4), b = z_turn(1.1);
  EXPECT_EQ(compose(kNoTurn, a), a);
  EXPECT_EQ(compose(a, kNoTurn), a);
  EXPECT_LT(largest_difference(compose(a, b), z_turn(1.5)), 1e-15);
  EXPECT_LT(largest_difference(compose(z_turn(-0.4), a), kNoTurn), 1e-15);
  // X twice is no turn, exactly. X and SX turn about the same axis, so either order sends
  // Z to Y and Y to −Z.
  Images of_x;
  const Turn x = turn_of(single(0, 1, 1, 0), of_x);
  EXPECT_EQ(compose(x, x), kNoTurn);
  Images of_sx;
  const Turn sx = turn_of(single({0.5, 0.5}, {0.5, -0.5}, {0.5, -0.5}, {0.5, 0.5}), of_sx);
  const Turn sx_then_x = compose(x, sx), x_then_sx = compose(sx, x);
  EXPECT_NEAR(sx_then_x[3 * (kY - 1) + (kZ - 1)], 1.0, 1e-15);
  EXPECT_NEAR(x_then_sx[3 * (kY - 1) + (kZ - 1)], 1.0, 1e-15);
  EXPECT_NEAR(sx_then_x[3 * (kZ - 1) + (kY - 1)], -1.0, 1e-15);
  EXPECT_NEAR(x_then_sx[3 * (kZ - 1) + (kY - 1)], -1.0, 1e-15);
  // SX four times is no turn.
  EXPECT_LT(largest_difference(compose(compose(sx, sx), compose(sx, sx)), kNoTurn), 1e-15);
}

}  // namespace
}  // namespace vornak::pauli
