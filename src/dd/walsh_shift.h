#ifndef VORNAK_DD_WALSH_SHIFT_H
#define VORNAK_DD_WALSH_SHIFT_H

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace vornak {

// A pattern of an even number m of π pulses over a part [a, b], centred at t + i (b - a) / m
// (i < m): its sign s(t), +1 at a and flipped at each centre, has ∫ s = 0 over the part for
// every t in [a, a + (b - a) / m], so it refocuses a detuning wherever it sits. A neighbour
// whose frame only flips sign inside the part (at its π pulses, its x gates, the echo of an
// ecr it controls) adds a ZZ phase proportional to ∫ s·f, f its sign (+1 at a). Moving t by
// (b - a) / m turns s over, so ∫ s·f changes sign on the way and is zero somewhere: the same
// m pulses then refocus both, however many times the neighbour flips, where cutting the part
// at each flip takes a pulse per piece.
//
// Returns such a t with every centre at least `margin` from a and b (t in
// [a + margin, a + (b - a) / m - margin]), or nullopt where ∫ s·f has the same sign at both
// ends of that range. `flips` is sorted; those outside (a, b) are ignored. ∫ s·f is
// continuous and piecewise linear in t; the root is found by bisection to 1e-9 of the times.
// O((flips in the part + m) · 60).
std::optional<double> shifted_pattern_start(double a, double b, std::size_t m,
                                            std::span<const double> flips, double margin);

// ∫ s·f over [a, b] for the pattern of `m` pulses starting at `t` (as above) and the sign f
// flipping at `flips` (sorted, inside (a, b)), both +1 at a.
double shifted_pattern_overlap(double a, double b, std::size_t m, double t,
                               std::span<const double> flips);

// shifted_pattern_start() remembered over the attempts at one stretch: a later attempt cuts
// anew only the parts that found no shift, and meets the others again with the same flips
// inside, whose searches it then looks up instead of repeating.
class ShiftMemo {
 public:
  // Forgets every search: a new stretch.
  void clear();

  // Makes the searches so far those that start() looks up, until the next seal(). O(s log s)
  // for s searches.
  void seal();

  // shifted_pattern_start(a, b, m, inside, margin), taken from a sealed search of the same
  // part, pulse count and flips inside (`inside` only, sorted) where there is one, else
  // searched and remembered. The margin must be the same for every search of a part.
  // O(log s + flips) for a sealed search.
  std::optional<double> start(double a, double b, std::size_t m, std::span<const double> inside,
                              double margin);

 private:
  struct Search {
    double a, b;
    std::size_t m, offset = 0, count = 0;  // the part, its pulses, its flips in flips_
    std::optional<double> start = std::nullopt;
  };
  static bool before(const Search& x, const Search& y);

  std::vector<Search> searched_;  // the first sorted_ sorted by before()
  std::size_t sorted_ = 0;
  std::vector<double> flips_;
};

}  // namespace vornak

#endif
