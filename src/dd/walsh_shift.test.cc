#include "dd/walsh_shift.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace vornak {
namespace {

// ∫ s·f over [a, b] by sampling the two signs on a fine grid: the definition, not the code.
double sampled_overlap(double a, double b, std::size_t m, double t,
                       const std::vector<double>& flips) {
  const int samples = 200000;
  const double step = (b - a) / static_cast<double>(m), dt = (b - a) / samples;
  double sum = 0.0;
  for (int i = 0; i < samples; ++i) {
    const double x = a + (i + 0.5) * dt;
    std::size_t before = 0;
    for (std::size_t j = 0; j < m; ++j) before += x > t + step * static_cast<double>(j);
    before += static_cast<std::size_t>(std::count_if(flips.begin(), flips.end(),
                                                     [&](double f) { return x > f; }));
    sum += before % 2 ? -dt : dt;
  }
  return sum;
}

TEST(ShiftedPattern, TheOverlapIsTheIntegralOfTheTwoSigns) {
  const std::vector<double> flips{130.0, 410.0, 455.0, 790.0};
  for (std::size_t m : {2u, 4u, 6u}) {
    for (double t : {0.0, 37.0, 80.0, 1000.0 / static_cast<double>(m)}) {
      SCOPED_TRACE(testing::Message() << m << " pulses from " << t);
      EXPECT_NEAR(shifted_pattern_overlap(0.0, 1000.0, m, t, flips),
                  sampled_overlap(0.0, 1000.0, m, t, flips), 0.05);
    }
  }
  // Without flips the pattern is balanced wherever it starts (the detuning's ∫ s = 0).
  for (double t : {0.0, 120.0, 250.0}) {
    EXPECT_NEAR(shifted_pattern_overlap(0.0, 1000.0, 4, t, {}), 0.0, 1e-9);
  }
  // A shift by one step turns the sign over, and with it the overlap.
  EXPECT_NEAR(shifted_pattern_overlap(0.0, 1000.0, 2, 0.0, flips),
              -shifted_pattern_overlap(0.0, 1000.0, 2, 500.0, flips), 1e-9);
}

TEST(ShiftedPattern, FindsAnOrthogonalShiftForAnyFlips) {
  std::mt19937_64 rng(2026);
  std::uniform_real_distribution<double> time(0.0, 1.0);
  int found = 0;
  for (int round = 0; round < 400; ++round) {
    const double a = 100.0 * time(rng), b = a + 500.0 + 3000.0 * time(rng);
    std::vector<double> flips(1 + round % 9);
    for (double& f : flips) f = a + (b - a) * time(rng);
    std::sort(flips.begin(), flips.end());
    const std::size_t m = 2 * (1 + round % 3);
    // Without a margin some shift always works (the overlap changes sign over a step).
    const std::optional<double> t = shifted_pattern_start(a, b, m, flips, 0.0);
    ASSERT_TRUE(t.has_value()) << round;
    EXPECT_GE(*t, a);
    EXPECT_LE(*t, a + (b - a) / static_cast<double>(m));
    EXPECT_NEAR(shifted_pattern_overlap(a, b, m, *t, flips), 0.0, 1e-6 * (b - a));
    // With one, a shift is in the range asked for, or none is reported.
    const double margin = 40.0;
    if (const std::optional<double> kept = shifted_pattern_start(a, b, m, flips, margin)) {
      ++found;
      EXPECT_GE(*kept, a + margin - 1e-9);
      EXPECT_LE(*kept + (b - a) * static_cast<double>(m - 1) / static_cast<double>(m),
                b - margin + 1e-9);
      EXPECT_NEAR(shifted_pattern_overlap(a, b, m, *kept, flips), 0.0, 1e-6 * (b - a));
    }
  }
  EXPECT_GT(found, 200);
}

TEST(ShiftedPattern, EdgeCases) {
  const std::vector<double> flips{300.0};
  // One flip at 300: the centred pair (250, 750) leaves ∫ s·f = 400; the orthogonal pair
  // is (150, 650), where ∫ s·f = 4t - 600 vanishes.
  EXPECT_NEAR(shifted_pattern_overlap(0.0, 1000.0, 2, 250.0, flips), 400.0, 1e-9);
  const std::optional<double> t = shifted_pattern_start(0.0, 1000.0, 2, flips, 0.0);
  ASSERT_TRUE(t.has_value());
  EXPECT_NEAR(*t, 150.0, 1e-6);
  // Flips outside the part change nothing: the centred pattern.
  EXPECT_EQ(shifted_pattern_start(0.0, 1000.0, 2, std::vector<double>{-5.0, 1000.0}, 0.0)
                .value_or(-1.0),
            250.0);
  // A margin that leaves no room, an odd count, an empty part.
  EXPECT_FALSE(shifted_pattern_start(0.0, 1000.0, 2, flips, 300.0).has_value());
  EXPECT_FALSE(shifted_pattern_start(0.0, 1000.0, 3, flips, 0.0).has_value());
  EXPECT_FALSE(shifted_pattern_start(0.0, 0.0, 2, flips, 0.0).has_value());
  // A flip so close to the start that only a pulse beside it would answer: none within a
  // margin of 100 (the pair would have to start at 10).
  EXPECT_FALSE(shifted_pattern_start(0.0, 1000.0, 2, std::vector<double>{20.0}, 100.0)
                   .has_value());
}

// The memo answers as a fresh search does, whatever it holds: parts that share their ends and
// count but not their flips, queries before and after a seal, and a clear between stretches.
TEST(ShiftMemo, AnswersAsTheSearchDoes) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> time(0.0, 1.0);
  ShiftMemo memo;
  for (int stretch = 0; stretch < 20; ++stretch) {
    memo.clear();
    // A few parts, each met with several flip sets; the same ones again after each seal.
    std::vector<std::pair<double, double>> parts;
    for (int i = 0; i < 3; ++i) {
      const double a = 1000.0 * i + 50.0 * time(rng);
      parts.emplace_back(a, a + 400.0 + 500.0 * time(rng));
    }
    std::vector<std::vector<double>> flip_sets;
    for (int i = 0; i < 4; ++i) {
      std::vector<double> flips(1 + i);
      for (double& f : flips) f = 500.0 * time(rng);
      std::sort(flips.begin(), flips.end());
      flip_sets.push_back(flips);
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
      for (const auto& [a, b] : parts) {
        for (const std::vector<double>& relative : flip_sets) {
          std::vector<double> inside;
          for (double f : relative) inside.push_back(a + f * (b - a) / 500.0);
          for (std::size_t m : {2u, 4u}) {
            SCOPED_TRACE(testing::Message() << stretch << " " << attempt << " " << a << " " << m);
            EXPECT_EQ(memo.start(a, b, m, inside, 20.0),
                      shifted_pattern_start(a, b, m, inside, 20.0));
          }
        }
      }
      memo.seal();
    }
  }
}

}  // namespace
}  // namespace vornak
