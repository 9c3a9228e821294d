#include "dd/block_residues.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <stdexcept>
#include <utility>
#include <vector>

#include "dd/gate_matrix.h"

namespace vornak {
namespace {

constexpr double kPi = std::numbers::pi;

void expect_residues(const std::optional<std::vector<double>>& got,
                     const std::vector<double>& expected) {
  ASSERT_TRUE(got.has_value());
  ASSERT_EQ(got->size(), expected.size());
  for (std::size_t a = 0; a < expected.size(); ++a) {
    EXPECT_NEAR((*got)[a], expected[a], 1e-12) << "at " << a;
  }
}

pauli::Matrix times(const pauli::Matrix& a, const pauli::Matrix& b) {
  pauli::Matrix p{1, {}};
  for (std::size_t r = 0; r < 2; ++r) {
    for (std::size_t c = 0; c < 2; ++c) {
      p.at(r, c) = a.at(r, 0) * b.at(0, c) + a.at(r, 1) * b.at(1, c);
    }
  }
  return p;
}

// The rotation vector g of the error e^{-i g·σ/2} = noisy · ideal† that π pulses of `phases`
// leave, each off resonance by f and over-rotated by eps, from the matrices themselves.
std::vector<double> error_rotation(const std::vector<double>& phases, double f, double eps) {
  pauli::Matrix noisy = pauli::single(1, 0, 0, 1), ideal = noisy;
  for (double phi : phases) {
    const double norm = std::sqrt(1 + f * f);
    noisy = times(pauli::rotation(kPi * (1 + eps) * norm, std::cos(phi) / norm,
                                  std::sin(phi) / norm, f / norm),
                  noisy);
    ideal = times(pauli::rotation(kPi, std::cos(phi), std::sin(phi), 0), ideal);
  }
  const pauli::Matrix e = times(noisy, pauli::single(std::conj(ideal.at(0, 0)),
                                                     std::conj(ideal.at(1, 0)),
                                                     std::conj(ideal.at(0, 1)),
                                                     std::conj(ideal.at(1, 1))));
  // g_a = Re(i tr(E σ_a)) to first order.
  const pauli::Complex i = pauli::kI;
  return {(i * (e.at(0, 1) + e.at(1, 0))).real(), (i * (i * e.at(0, 1) - i * e.at(1, 0))).real(),
          (i * (e.at(0, 0) - e.at(1, 1))).real()};
}

TEST(BlockResidues, ClosedFormsOfTheRobustSequences) {
  // X, X̄, X̄, X in blocks of two: the pair X-X̄ turns by 4f about y, the whole nothing.
  expect_residues(block_residues(std::vector<double>{0, kPi, kPi, 0}, 2),
                  {0, 4, 0, 0, 0, 0, /**/ 0, 0, 0, 0, 0, 0});
  // Pulse by pulse: X alone tilts by 2f about −y and over-rotates by π about x.
  expect_residues(block_residues(std::vector<double>{0, kPi, kPi, 0}, 1),
                  {0, -2, 0, kPi, 0, 0, /**/ 0, 4, 0, 0, 0, 0, /**/ 0, -2, 0, -kPi, 0, 0,
                   /**/ 0, 0, 0, 0, 0, 0});
  // Y-Ȳ tilts about −x.
  expect_residues(block_residues(std::vector<double>{kPi / 2, -kPi / 2, -kPi / 2, kPi / 2}, 2),
                  {-4, 0, 0, 0, 0, 0, /**/ 0, 0, 0, 0, 0, 0});
  // X, Y, X, Y as one block: nothing left, nothing to choose.
  expect_residues(block_residues(std::vector<double>{0, kPi / 2, 0, kPi / 2}, 4),
                  {0, 0, 0, 0, 0, 0});
}

TEST(BlockResidues, NoneWhereTheWholeSequenceLeavesAnError) {
  // X-X over-rotates by 2π per unit about x; X-X̄ as a whole tilts by 4f.
  EXPECT_FALSE(block_residues(std::vector<double>{0, 0}, 2).has_value());
  EXPECT_FALSE(block_residues(std::vector<double>{0, kPi}, 1).has_value());
  EXPECT_FALSE(block_residues(std::vector<double>{0}, 1).has_value());
  // A phase off by 1e-3 leaves about 4e-3 in whole; one off by 1e-9, a crumb counted as none.
  EXPECT_FALSE(block_residues(std::vector<double>{0, kPi + 1e-3, kPi, 0}, 2).has_value());
  const auto nearly = block_residues(std::vector<double>{0, kPi + 1e-9, kPi, 0}, 2);
  ASSERT_TRUE(nearly.has_value());
  for (std::size_t a = 6; a < 12; ++a) EXPECT_EQ((*nearly)[a], 0.0);
  EXPECT_EQ((*nearly)[0], 0.0);  // 4 sin(1e-9) is below kNoResidue
}

TEST(BlockResidues, TurningEveryPhaseTurnsTheResiduesAboutZ) {
  // What the frames for runs rely on: phases φ + θ leave the residues turned by θ.
  for (double theta : {0.3, 1.7, -2.9}) {
    const auto got =
        block_residues(std::vector<double>{theta, kPi + theta, kPi + theta, theta}, 2);
    expect_residues(got, {-4 * std::sin(theta), 4 * std::cos(theta), 0, 0, 0, 0,
                          /**/ 0, 0, 0, 0, 0, 0});
  }
}

TEST(BlockResidues, MatchTheFirstOrderErrorOfThePulsesMatrices) {
  // Against a central difference of the noisy pulses' product, for sequences without
  // symmetry: a part A whose pulses make ±I (their phases' alternating sum a multiple of π),
  // then A with every phase turned by π, which leaves A's errors turned by π about z and so
  // cancels them in whole.
  const auto and_turned = [](std::vector<double> a) {
    for (std::size_t k = 0, m = a.size(); k < m; ++k) a.push_back(a[k] + kPi);
    return a;
  };
  const std::vector<std::pair<std::vector<double>, std::size_t>> sequences = {
      {and_turned({0.4, 2.1, -1.3, -3.0}), 2}, {and_turned({1.0, 2.2, -0.5, 0.1, 2.5, 0.7}), 3}};
  const double h = 1e-6;
  for (const auto& [phases, block] : sequences) {
    const auto got = block_residues(phases, block);
    ASSERT_TRUE(got.has_value());
    for (std::size_t j = 1; j <= phases.size() / block; ++j) {
      const std::vector<double> prefix(phases.begin(), phases.begin() + block * j);
      const std::vector<double> off_plus = error_rotation(prefix, h, 0);
      const std::vector<double> off_minus = error_rotation(prefix, -h, 0);
      const std::vector<double> over_plus = error_rotation(prefix, 0, h);
      const std::vector<double> over_minus = error_rotation(prefix, 0, -h);
      for (std::size_t a = 0; a < 3; ++a) {
        EXPECT_NEAR((*got)[6 * (j - 1) + a], (off_plus[a] - off_minus[a]) / (2 * h), 1e-6);
        EXPECT_NEAR((*got)[6 * (j - 1) + 3 + a], (over_plus[a] - over_minus[a]) / (2 * h), 1e-6);
      }
    }
  }
}

TEST(BlockResidues, RefusesPhasesThatAreNoWholeBlocks) {
  EXPECT_THROW(block_residues(std::vector<double>{0, kPi, kPi}, 2), std::invalid_argument);
  EXPECT_THROW(block_residues(std::vector<double>{0, kPi}, 0), std::invalid_argument);
  EXPECT_THROW(block_residues(std::vector<double>{}, 1), std::invalid_argument);
}

}  // namespace
}  // namespace vornak
