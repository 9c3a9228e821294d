#include "graph/dd_walsh_shift.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vornak {

double shifted_pattern_overlap(double a, double b, std::size_t m, double t,
                               std::span<const double> flips) {
  constexpr double kNever = std::numeric_limits<double>::infinity();
  const double step = (b - a) / static_cast<double>(m);
  double integral = 0.0, at = a;
  int sign = 1;  // of s·f
  std::size_t i = 0, k = 0;
  while (true) {
    const double pulse = i < m ? t + step * static_cast<double>(i) : kNever;
    const double flip = k < flips.size() ? flips[k] : kNever;
    const double next = std::min({pulse, flip, b});
    integral += sign * (next - at);
    at = next;
    if (next >= b) return integral;
    if (next == pulse) {
      sign = -sign;
      ++i;
    }
    if (next == flip) {
      sign = -sign;
      ++k;
    }
  }
}

std::optional<double> shifted_pattern_start(double a, double b, std::size_t m,
                                            std::span<const double> flips, double margin) {
  if (m == 0 || m % 2 != 0 || !(b > a)) return std::nullopt;
  const auto first = std::upper_bound(flips.begin(), flips.end(), a);
  const auto end = std::lower_bound(first, flips.end(), b);
  const std::span<const double> inside(first, end);
  auto g = [&](double t) { return shifted_pattern_overlap(a, b, m, t, inside); };
  const double step = (b - a) / static_cast<double>(m);
  double lo = a + margin, hi = a + step - margin;
  if (!(lo <= hi)) return std::nullopt;
  // Start from the centred pattern, the one a part without flips takes.
  const double middle = a + step / 2;
  double g_lo = g(lo), g_hi = g(hi);
  const double g_mid = g(middle);
  if (g_mid == 0.0) return middle;
  auto opposite = [](double x, double y) { return (x < 0.0) != (y < 0.0) || x == 0.0; };
  if (opposite(g_lo, g_mid)) {
    hi = middle;
    g_hi = g_mid;
  } else if (opposite(g_hi, g_mid)) {
    lo = middle;
    g_lo = g_mid;
  } else {
    return std::nullopt;
  }
  if (g_lo == 0.0) return lo;
  if (g_hi == 0.0) return hi;
  const double tolerance = 1e-9 * std::max({1.0, std::abs(a), std::abs(b)});
  for (int iteration = 0; iteration < 60 && hi - lo > tolerance; ++iteration) {
    const double t = lo + (hi - lo) / 2;
    const double value = g(t);
    if (value == 0.0) return t;
    if ((value < 0.0) == (g_lo < 0.0)) {
      lo = t;
      g_lo = value;
    } else {
      hi = t;
      g_hi = value;
    }
  }
  // Linear between the two: exact once no breakpoint of g lies between them.
  return lo + (hi - lo) * g_lo / (g_lo - g_hi);
}

}  // namespace vornak
