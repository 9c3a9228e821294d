#include "dd/walsh_shift.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

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

namespace {

// ∫ s·f as a function of the pattern's start t over [lo, hi], less than one spacing wide:
// continuous, and linear between the starts at which a pulse meets a flip. Its slope is
// 2 Σ_i (-1)^i f(p_i), f taken just after pulse i at p_i = t + i·step; where pulse i passes
// flip k (at t = flip_k - i·step, at most once per flip over less than a spacing), that term
// changes by -4 (-1)^(i+k). Built in O((m + flips) log flips); each value then costs a
// binary search over the meetings, not a walk over the part.
class OverlapCurve {
 public:
  // `start`: the value at `lo`, measured directly.
  OverlapCurve(double a, double b, std::size_t m, std::span<const double> inside, double lo,
               double hi, double start)
      : lo_(lo), start_(start) {
    const double step = (b - a) / static_cast<double>(m);
    for (std::size_t i = 0; i < m; ++i) {
      const double pulse = lo + step * static_cast<double>(i);
      const auto after = std::upper_bound(inside.begin(), inside.end(), pulse) - inside.begin();
      slope_ += (i % 2 == 0) == (after % 2 == 0) ? 2.0 : -2.0;
    }
    for (std::size_t k = 0; k < inside.size(); ++k) {
      const double i = std::ceil((inside[k] - hi) / step);
      if (i < 0.0 || i >= static_cast<double>(m)) continue;
      const double t = inside[k] - step * i;
      if (!(t > lo && t <= hi)) continue;
      const bool even = (static_cast<std::size_t>(i) + k) % 2 == 0;
      meets_.push_back({t, even ? -4.0 : 4.0});
    }
    std::sort(meets_.begin(), meets_.end(),
              [](const Meet& x, const Meet& y) { return x.t < y.t; });
    double value = start_, slope = slope_, at = lo_;
    for (Meet& meet : meets_) {
      value += slope * (meet.t - at);
      at = meet.t;
      slope += meet.change;
      meet.value = value;
      meet.change = slope;  // from here on: the slope after the meeting
    }
  }

  // Whether no pulse meets a flip strictly between `from` and `to`: the curve is a line there.
  bool straight(double from, double to) const {
    const auto after = std::upper_bound(meets_.begin(), meets_.end(), from,
                                        [](double x, const Meet& meet) { return x < meet.t; });
    return after == meets_.end() || !(after->t < to);
  }

  double operator()(double t) const {
    const auto after = std::upper_bound(meets_.begin(), meets_.end(), t,
                                        [](double x, const Meet& meet) { return x < meet.t; });
    if (after == meets_.begin()) return start_ + slope_ * (t - lo_);
    const Meet& meet = *(after - 1);
    return meet.value + meet.change * (t - meet.t);
  }

 private:
  struct Meet {
    double t;
    double change;  // of the slope; once built, the slope after t
    double value = 0.0;
  };
  double lo_, start_, slope_ = 0.0;
  std::vector<Meet> meets_;
};

}  // namespace

std::optional<double> shifted_pattern_start(double a, double b, std::size_t m,
                                            std::span<const double> flips, double margin) {
  if (m == 0 || m % 2 != 0 || !(b > a)) return std::nullopt;
  const auto first = std::upper_bound(flips.begin(), flips.end(), a);
  const auto end = std::lower_bound(first, flips.end(), b);
  const std::span<const double> inside(first, end);
  const double step = (b - a) / static_cast<double>(m);
  double lo = a + margin, hi = a + step - margin;
  if (!(lo <= hi)) return std::nullopt;
  // Start from the centred pattern, the one a part without flips takes.
  const double middle = a + step / 2;
  // The bracket's ends and middle are measured directly, where a zero is often exact.
  auto direct = [&](double t) { return shifted_pattern_overlap(a, b, m, t, inside); };
  const double start = direct(lo);
  double g_lo = start, g_hi = direct(hi);
  const double g_mid = direct(middle);
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
  const double near_zero = 1e-9 * (b - a);
  // Built only where the bracket is to be halved: most parts answer before.
  const OverlapCurve g(a, b, m, inside, a + margin, a + step - margin, start);
  // Halved until the bracket lies on one line of the curve, where the root is exact.
  for (int iteration = 0; iteration < 60 && hi - lo > tolerance && !g.straight(lo, hi); ++iteration) {
    const double t = lo + (hi - lo) / 2;
    // The curve's rounding differs from the walk's: near zero, where its sign could, the
    // value is measured directly, which finds the zeros the walk finds.
    double value = g(t);
    if (std::abs(value) <= near_zero) value = direct(t);
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

void ShiftMemo::clear() {
  searched_.clear();
  flips_.clear();
  sorted_ = 0;
}

void ShiftMemo::seal() {
  std::sort(searched_.begin(), searched_.end(), before);
  sorted_ = searched_.size();
}

bool ShiftMemo::before(const Search& x, const Search& y) {
  return std::tie(x.a, x.b, x.m) < std::tie(y.a, y.b, y.m);
}

std::optional<double> ShiftMemo::start(double a, double b, std::size_t m,
                                       std::span<const double> inside, double margin) {
  const auto known =
      std::lower_bound(searched_.begin(), searched_.begin() + static_cast<std::ptrdiff_t>(sorted_),
                       Search{a, b, m}, before);
  if (known != searched_.begin() + static_cast<std::ptrdiff_t>(sorted_) && known->a == a &&
      known->b == b && known->m == m && known->count == inside.size() &&
      std::equal(inside.begin(), inside.end(),
                 flips_.begin() + static_cast<std::ptrdiff_t>(known->offset))) {
    return known->start;
  }
  const std::optional<double> found = shifted_pattern_start(a, b, m, inside, margin);
  searched_.push_back({a, b, m, flips_.size(), inside.size(), found});
  flips_.insert(flips_.end(), inside.begin(), inside.end());
  return found;
}

}  // namespace vornak
