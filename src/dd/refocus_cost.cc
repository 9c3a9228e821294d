#include "dd/refocus_cost.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <iterator>
#include <memory>
#include <new>
#include <numeric>
#include <utility>

namespace vornak {

namespace {

// The sign's integral from `a`, built up flip by flip in time order: every integral below
// is summed in this one way, so that a value found by another route (a merge instead of a
// sort, a part computed once and reused) is the same to the last bit.
struct SignSum {
  double sum = 0.0;
  double from;
  double sign = 1.0;
  explicit SignSum(double a) : from(a) {}
  void flip(double t) {
    sum += sign * (t - from);
    from = t;
    sign = -sign;
  }
  // flip() at each of [t, end), two at a time: the same sums in the same order (a product
  // by -1 and a sum with a negated term are exact).
  void flip_all(const double* t, const double* end) {
    for (; end - t >= 2; t += 2) {
      sum += sign * (t[0] - from);
      sum -= sign * (t[1] - t[0]);
      from = t[1];
    }
    if (t != end) flip(*t);
  }
  double until(double b) const { return sum + sign * (b - from); }
};

// Feeds the sorted lists [x, x_end) and [y, y_end) to `s` in time order, up to the end of
// either; x and y are left where they stopped.
void merge_until_one_ends(SignSum& s, const double*& x, const double* x_end, const double*& y,
                          const double* y_end) {
  while (x != x_end && y != y_end) s.flip(*y < *x ? *y++ : *x++);
}

// ∫ s over [a, b] with the flips of three sorted lists, each strictly inside (a, b): what
// dd_sign_integral() gives for their sorted union (equal times are interchangeable), without
// gathering or sorting it. O(their sizes).
double merged_integral(double a, double b, std::span<const double> xs, std::span<const double> ys,
                       std::span<const double> zs) {
  SignSum s(a);
  const double *x = xs.data(), *y = ys.data(), *z = zs.data();
  const double *x_end = x + xs.size(), *y_end = y + ys.size(), *z_end = z + zs.size();
  while (x != x_end && y != y_end && z != z_end) {
    const double*& first = *y < *x ? (*z < *y ? z : y) : (*z < *x ? z : x);
    s.flip(*first++);
  }
  // At most two are left: merge them, then the one that remains.
  if (x == x_end) std::swap(x, z), std::swap(x_end, z_end);
  if (y == y_end) std::swap(y, z), std::swap(y_end, z_end);
  merge_until_one_ends(s, x, x_end, y, y_end);
  s.flip_all(x, x_end);
  s.flip_all(y, y_end);
  return s.until(b);
}

// The sorted `times` strictly inside (a, b). O(log).
std::span<const double> inside(std::span<const double> times, double a, double b) {
  const auto first = std::upper_bound(times.begin(), times.end(), a);
  const auto last = std::lower_bound(first, times.end(), b);
  return {first, last};
}

}  // namespace

double dd_sign_integral(double a, double b, std::span<const double> flips) {
  SignSum s(a);
  for (double t : flips) {
    if (t > a && t < b) s.flip(t);
  }
  return s.until(b);
}

double dd_pair_break_even(double pulse_error, double variance) {
  if (!(pulse_error > 0.0)) return 0.0;
  if (!(variance > 0.0)) return std::numeric_limits<double>::infinity();
  return std::sqrt(8.0 * pulse_error / variance);
}

double dd_error_beyond_decoherence(double reported_error, double duration, double t1,
                                   double t2) {
  // 1 - exp(-duration / t), through expm1: exact for the short pulses against long T1 and
  // T2 that it is used for, and a function whose symbol the oldest supported C library has.
  auto loss = [&](double t) {
    return t > 0.0 && std::isfinite(t) ? -std::expm1(-duration / t) : 0.0;
  };
  const double coherence = (2.0 * loss(t2) + loss(t1)) / 6.0;
  return std::max(0.0, reported_error - coherence);
}

void DdCostStretches::reserve(std::size_t stretches, std::size_t candidates,
                              std::size_t centres) {
  stretches_.reserve(stretches);
  candidate_first_.reserve(candidates);
  centres_.reserve(centres);
}

void DdCostStretches::add_stretch(std::size_t qubit, double begin, double end) {
  stretches_.push_back({qubit, begin, end, candidate_first_.size()});
}

void DdCostStretches::add_candidate() { candidate_first_.push_back(centres_.size()); }

namespace {

// An allocator whose vectors leave what resize() adds default-initialised (for std::size_t,
// unset), for the index arrays below that are written in full right after they are sized.
template <class T>
struct LeftUnset : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = LeftUnset<U>;
  };
  LeftUnset() = default;
  template <class U>
  explicit LeftUnset(const LeftUnset<U>&) {}
  template <class U>
  void construct(U* at) {
    ::new (static_cast<void*>(at)) U;
  }
  template <class U, class... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }
};
using Indices = std::vector<std::size_t, LeftUnset<std::size_t>>;
using Values = std::vector<double, LeftUnset<double>>;

// A frame segment of one qubit (its detuning) or of one edge (its ZZ) that some stretch
// reaches: the time between two turns of the frames into other operators, busy time included.
struct Piece {
  double lo;
  double hi;
  double weight;             // ζ²/16
  std::size_t stretches;     // its stretches: stretch_of_[stretches .. + stretch_count)
  std::size_t stretch_count;
  std::size_t flips;         // the pair's own sign flips in it: flip_of_[flips .. + flip_count)
  std::size_t flip_count;
  std::size_t region;
  // Its stretches of the first qubit come first (split of them), then the second's, each
  // part sorted by start, and so disjoint and sorted by end too.
  std::size_t split;
};

// What window() needs of a piece and a stretch besides the stretch's own pulses.
struct Window {
  double lo = 0.0;
  double hi = 0.0;
  std::span<const double> flips;  // the busy flips inside (lo, hi)
  std::size_t others = 0;  // the other qubit's pulses inside: others_[others .. + other_count)
  std::size_t other_count = 0;
  bool odd = false;  // the sign at lo is -1
};

// Where the pulses of one candidate inside one piece lie in DdCostStretches::centres().
struct Span {
  std::size_t first;
  std::size_t count;
};

// The pulses of `in` (sorted, strictly inside some (a, b) around (lo, hi)) strictly inside
// (lo, hi): what inside() finds on the whole list. O(the pulses left out).
std::span<const double> trimmed(std::span<const double> in, double lo, double hi) {
  while (!in.empty() && in.front() <= lo) in = in.subspan(1);
  while (!in.empty() && in.back() >= hi) in = in.first(in.size() - 1);
  return in;
}

// Moves `first` and `last` to what inside() finds for (lo, hi) in [first, end), where they
// were at an earlier (lo, hi) no later in either end: a few steps, then a search.
// O(log of the steps) per call.
void walk_inside(const double*& first, const double*& last, const double* end, double lo,
                 double hi) {
  constexpr int kSteps = 4;
  for (int step = 0; step < kSteps && first != end && *first <= lo; ++step) ++first;
  if (first != end && *first <= lo) first = std::upper_bound(first, end, lo);
  if (last < first) last = first;
  for (int step = 0; step < kSteps && last != end && *last < hi; ++step) ++last;
  if (last != end && *last < hi) last = std::lower_bound(last, end, hi);
}

class Chooser {
 public:
  Chooser(const DdCostModel& model, const DdCostStretches& stretches)
      : model_(model), stretches_(stretches), centres_(stretches.centres().data()) {
    build_pieces();
    build_regions();
    build_candidate_sets();
    build_spans();
  }

  double own(std::size_t i, std::size_t k) const {
    const DdCostQubit& q = model_.qubits[stretches_.qubit(i)];
    return q.pulse_error * static_cast<double>(stretches_.candidate(i, k).size());
  }

  double score(std::span<const std::size_t> choice) {
    choice_.assign(choice.begin(), choice.end());
    double total = 0.0;
    for (std::size_t i = 0; i < stretches_.size(); ++i) total += own(i, choice_[i]);
    for (const Piece& p : pieces_) {
      const double v = integral(p, kNone, 0);
      total += p.weight * v * v;
    }
    return total;
  }

  std::vector<std::size_t> choose(std::size_t uniform) {
    start_uniform(uniform);
    // One stretch at a time, each keeping the candidate that lowers the score most, until no
    // single change lowers it: a stretch is looked at again only once a stretch that shares
    // a segment with it changed (and at most kSweeps times over all, as a bound).
    const std::size_t n = stretches_.size();
    std::vector<std::size_t> queue(n);
    std::iota(queue.begin(), queue.end(), std::size_t{0});
    std::vector<char> queued(n, 1);
    const std::size_t most = kSweeps * n;
    for (std::size_t head = 0; head < queue.size() && head < most; ++head) {
      const std::size_t i = queue[head];
      queued[i] = 0;
      const std::size_t pick = best_change(i);
      if (pick == choice_[i]) continue;
      const std::size_t touched = touch_offsets_[i + 1] - touch_offsets_[i];
      for (std::size_t j = 0; j < touched; ++j) {
        values_[touches_[touch_offsets_[i] + j]] = moved_[pick * touched + j];
      }
      choice_[i] = pick;
      for (std::size_t j = 0; j < touched; ++j) {
        const Piece& p = pieces_[touches_[touch_offsets_[i] + j]];
        for (std::size_t m = 0; m < p.stretch_count; ++m) {
          const std::size_t other = stretch_of_[p.stretches + m];
          if (!queued[other] && other != i) {
            queued[other] = 1;
            queue.push_back(other);
          }
        }
      }
    }
    return choice_;
  }

 private:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  static constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
  // Looks at each stretch at most this many times on average: a bound, as each change lowers
  // the score.
  static constexpr int kSweeps = 8;

  // The pulses of candidate k of the stretch of entry e (an index into stretch_of_) inside
  // the entry's piece.
  std::span<const double> pulses(std::size_t e, std::size_t k) const {
    const Span& s = spans_[span_of_[e] + k];
    return {centres_ + s.first, s.count};
  }

  std::span<const double> flips(const Piece& p) const {
    return {flip_of_.data() + p.flips, p.flip_count};
  }

  // The piece's integral (∫s, or ∫s_a s_b) with stretch `changed` on candidate `k` and the
  // others on choice_. Each qubit's stretches in it are disjoint and sorted, so the pulses
  // of each qubit come in time order: three sorted lists merged. O(its flips and pulses).
  double integral(const Piece& p, std::size_t changed, std::size_t k) {
    auto chosen = [&](std::size_t e) {
      const std::size_t i = stretch_of_[e];
      return pulses(e, i == changed ? k : choice_[i]);
    };
    // Most pieces hold at most one stretch of each qubit: their pulses need no gathering.
    const std::size_t second = p.stretch_count - p.split;
    if (p.split <= 1 && second <= 1) {
      const std::span<const double> none;
      return merged_integral(p.lo, p.hi, flips(p), p.split == 1 ? chosen(p.stretches) : none,
                             second == 1 ? chosen(p.stretches + p.split) : none);
    }
    for (std::vector<double>* list : {&first_pulses_, &second_pulses_}) list->clear();
    for (std::size_t j = 0; j < p.stretch_count; ++j) {
      const std::span<const double> in = chosen(p.stretches + j);
      std::vector<double>& list = j < p.split ? first_pulses_ : second_pulses_;
      list.insert(list.end(), in.begin(), in.end());
    }
    return merged_integral(p.lo, p.hi, flips(p), first_pulses_, second_pulses_);
  }

  // Each region's uniform choice (candidate c everywhere, c < `uniform`) that scores lowest,
  // the lower index on a tie, into choice_, and the pieces' integrals under it into values_.
  // A region's score adds its stretches' pulses, then its pieces in order: once past the
  // pulses it only grows, so a later choice stops where it reaches the lowest before it (its
  // integrals are never used). A piece whose stretches all hold the same pulses in it under
  // c as under an earlier c keeps that one's integral, where there is one.
  void start_uniform(std::size_t uniform) {
    const std::size_t n = stretches_.size();
    const std::size_t count = pieces_.size();
    std::vector<double> best(regions_, std::numeric_limits<double>::infinity());
    std::vector<std::size_t> best_c(regions_, 0);
    // By c, then by piece; NaN where a choice stopped before it (or where it is NaN: the same
    // again).
    std::vector<double> values(uniform * count, kNan);
    choice_.resize(n);
    for (std::size_t c = 0; c < uniform; ++c) {
      std::fill(choice_.begin(), choice_.end(), c);
      for (std::size_t r = 0; r < regions_; ++r) {
        double sum = 0.0;
        for (std::size_t m = region_first_[r]; m < region_first_[r + 1]; ++m) {
          sum += own(region_stretches_[m], c);
        }
        // The first choice's integrals are kept whatever its score.
        for (std::size_t m = region_piece_first_[r]; m < region_piece_first_[r + 1]; ++m) {
          if (c > 0 && !(sum < best[r])) break;
          const std::size_t q = region_pieces_[m];
          const Piece& p = pieces_[q];
          const std::size_t same = same_pulses_before(p, c);
          const double v = values[c * count + q] =
              same == c || std::isnan(values[same * count + q]) ? integral(p, kNone, 0)
                                                                 : values[same * count + q];
          sum += p.weight * v * v;
        }
        if (sum < best[r]) {
          best[r] = sum;
          best_c[r] = c;
        }
      }
    }
    for (std::size_t i = 0; i < n; ++i) choice_[i] = best_c[region_[i]];
    values_.resize(count);
    for (std::size_t q = 0; q < count; ++q) {
      values_[q] = values[best_c[pieces_[q].region] * count + q];
    }
  }

  // The first candidate index c' <= c under which every stretch of p holds the same pulses
  // in p as under c.
  std::size_t same_pulses_before(const Piece& p, std::size_t c) const {
    for (std::size_t earlier = 0; earlier < c; ++earlier) {
      bool same = true;
      for (std::size_t e = p.stretches; e < p.stretches + p.stretch_count && same; ++e) {
        same = alias_[span_of_[e] + c] == alias_[span_of_[e] + earlier];
      }
      if (same) return earlier;
    }
    return c;
  }

  // The candidate of stretch i that lowers the score most, by more than rounding, against
  // its current one (the current one where none does), the moved integrals of each
  // candidate scored to the end kept in moved_.
  std::size_t best_change(std::size_t i) {
    const std::size_t current = choice_[i];
    const std::size_t first = stretches_.first_candidate(i);
    const std::size_t count = stretches_.candidate_count(i);
    const double base = start_look(i);
    const double slack = 1e-12 * std::max(1.0, std::abs(base));
    std::size_t pick = current;
    double lowest = base;
    for (std::size_t k = 0; k < count; ++k) {
      // A candidate the same as one before it, or as the current one, scores the same.
      if (same_[first + k] != k || same_[first + k] == same_[first + current]) continue;
      // A change must gain more than rounding: ties keep what the region started from.
      const double bar = lowest - slack;
      const double value = local(i, k, bar);
      if (value < bar) {
        lowest = value;
        pick = k;
      }
    }
    return pick;
  }

  // Starts a look at stretch i: the terms of the score that i's candidate changes, as they
  // are, with nothing of the pieces it touches prepared yet (see touch()).
  double start_look(std::size_t i) {
    const std::size_t touched = touch_offsets_[i + 1] - touch_offsets_[i];
    const std::size_t count = stretches_.candidate_count(i);
    rest_.resize(touched);
    part_.resize(touched);
    windows_.resize(touched);
    prepared_.assign(touched, 0);
    scored_.assign(count, 0);
    others_.clear();
    moved_.resize(touched * count);
    double base = own(i, choice_[i]);
    for (std::size_t j = 0; j < touched; ++j) {
      const std::size_t q = touches_[touch_offsets_[i] + j];
      base += pieces_[q].weight * values_[q] * values_[q];
    }
    return base;
  }

  // Prepares the j-th piece stretch i touches for the look at i: for a confined() piece, its
  // integral less the part that i's current candidate sets (rest_), that part (part_) and
  // its window; NaN in rest_ for the others.
  void touch(std::size_t j, std::size_t i) {
    const std::size_t t = touch_offsets_[i] + j;
    const std::size_t q = touches_[t];
    const Piece& p = pieces_[q];
    prepared_[j] = 1;
    if (!confined(p, i)) {
      rest_[j] = kNan;
      return;
    }
    windows_[j] = prepare(p, i);
    part_[j] = window(windows_[j], pulses(touch_entry_[t], choice_[i]));
    rest_[j] = values_[q] - part_[j];
  }

  // Whether a change of stretch i moves the integral of piece `p` only within the stretch:
  // its candidates all hold an even number of pulses (each leaves the frame as it found it),
  // and it does not reach into the piece from before it while ending inside.
  bool confined(const Piece& p, std::size_t i) const {
    return even_[i] && !(stretches_.begin(i) < p.lo && stretches_.end(i) < p.hi);
  }

  // What the part of piece p's integral within stretch i needs besides i's own pulses (for
  // confined() pairs), the same for each of i's candidates: the busy flips in the window,
  // the other qubit's pulses in it (appended to others_) and the sign at its start.
  // O(log + the window's flips and pulses).
  Window prepare(const Piece& p, std::size_t i) {
    Window w;
    w.lo = std::max(p.lo, stretches_.begin(i));
    w.hi = std::min(p.hi, stretches_.end(i));
    const double* flips = flip_of_.data() + p.flips;
    const double* flips_end = flips + p.flip_count;
    // The piece's busy flips, all inside (p.lo, p.hi): those before the window, and those
    // inside it.
    const double* at = std::lower_bound(flips, flips_end, w.lo);
    std::size_t before = static_cast<std::size_t>(at - flips);
    const double* first = std::upper_bound(at, flips_end, w.lo);
    w.flips = {first, std::lower_bound(first, flips_end, w.hi)};
    w.others = others_.size();
    if (p.stretch_count > 1) before += gather_others(p, i, w.lo, w.hi);
    w.other_count = others_.size() - w.others;
    w.odd = before % 2 != 0;
    return w;
  }

  // Appends the pulses of the stretches of piece p other than i inside i's window (lo, hi)
  // to others_, in time order, and returns how many of them lie in the piece before lo.
  // Before the window, only the pulses of stretches that reach into the piece from before
  // it, or overlap the window's start, do not pair up.
  std::size_t gather_others(const Piece& p, std::size_t i, double lo, double hi) {
    std::size_t before = 0;
    // Each qubit's stretches in the piece: i's own overlap nothing but i; of the other's,
    // those overlapping the window are found backwards from the last that begins before hi,
    // while they end after lo. Before the window, only the first of each (where it reaches
    // into the piece from before it) may hold an odd number of pulses inside the piece.
    const std::size_t* all = stretch_of_.data() + p.stretches;
    const std::size_t parts[2][2] = {{0, p.split}, {p.split, p.stretch_count}};
    for (const auto& [from_index, to_index] : parts) {
      const std::size_t* list = all + from_index;
      const std::size_t count = to_index - from_index;
      if (count == 0) continue;
      if (stretches_.begin(list[0]) < p.lo && list[0] != i && stretches_.end(list[0]) <= lo) {
        before += inside(chosen_centres(list[0]), p.lo, lo).size();
      }
      if (stretches_.qubit(list[0]) == stretches_.qubit(i)) continue;
      std::size_t j = static_cast<std::size_t>(
          std::lower_bound(list, list + count, hi,
                           [&](std::size_t x, double t) { return stretches_.begin(x) < t; }) -
          list);
      std::size_t last = j;
      while (j > 0 && stretches_.end(list[j - 1]) > lo) --j;
      // In time order, so that their pulses come sorted.
      for (; j < last; ++j) {
        const std::span<const double> centres = chosen_centres(list[j]);
        before += inside(centres, p.lo, std::nextafter(lo, hi)).size();
        const std::span<const double> in = inside(centres, lo, hi);
        others_.insert(others_.end(), in.begin(), in.end());
      }
    }
    return before;
  }

  std::span<const double> chosen_centres(std::size_t i) const {
    return stretches_.candidate(i, choice_[i]);
  }

  // The part of a piece's integral within the stretch prepared as `w`, with the stretch on
  // the candidate whose pulses in the piece are `in`. O(the window's flips and pulses).
  double window(const Window& w, std::span<const double> in) const {
    const double part =
        merged_integral(w.lo, w.hi, w.flips, {others_.data() + w.others, w.other_count},
                        trimmed(in, w.lo, w.hi));
    return w.odd ? -part : part;
  }

  // The integral of the j-th piece stretch i touches, with i on candidate k (a look at i
  // started). A candidate with the same pulses in the piece as the current one, or as one
  // scored to the end before it, moves it the same.
  double moved(std::size_t j, std::size_t i, std::size_t k) {
    if (!prepared_[j]) touch(j, i);
    const std::size_t t = touch_offsets_[i] + j;
    const std::size_t e = touch_entry_[t];
    const std::size_t same = alias_[span_of_[e] + k];
    const bool is_confined = !std::isnan(rest_[j]);
    if (same != k) {
      if (same == choice_[i] && is_confined) return rest_[j] + part_[j];
      if (same != choice_[i] && scored_[same]) {
        return moved_[same * (touch_offsets_[i + 1] - touch_offsets_[i]) + j];
      }
    }
    return is_confined ? rest_[j] + window(windows_[j], pulses(e, k))
                       : integral(pieces_[touches_[t]], i, k);
  }

  // The terms of the score that stretch i's candidate k changes (a look at i started), each
  // moved integral kept in moved_ for the change to take. The terms past the pulses only
  // add, so it stops once the total is no lower than `bar`, returning what it has.
  double local(std::size_t i, std::size_t k, double bar) {
    double total = own(i, k);
    const std::size_t touched = touch_offsets_[i + 1] - touch_offsets_[i];
    for (std::size_t j = 0; j < touched; ++j) {
      if (!(total < bar)) return total;
      const double v = moved_[k * touched + j] = moved(j, i, k);
      total += pieces_[touches_[touch_offsets_[i] + j]].weight * v * v;
    }
    scored_[k] = 1;
    return total;
  }

  void build_pieces() {
    sort_by_qubit();
    lo_ = model_.begin;
    hi_ = model_.end;
    for (std::size_t i = 0; i < stretches_.size(); ++i) hi_ = std::max(hi_, stretches_.end(i));
    collect_series();
    // Each stretch reaches a segment of a series at most once, and a busy flip lies in at most
    // one of its segments: room for all, so that nothing is moved as the lists grow.
    std::size_t reached = 0, flips = 0;
    for (const Series& series : series_) {
      for (std::size_t side = 0; side < 2; ++side) {
        const std::size_t* first = reach_.data() + series.reach[side];
        const std::size_t* last = first + series.stretches[side].size();
        for (std::size_t j = 0; j < series.stretches[side].size(); ++j) {
          reached += last[j] - first[j] + 1;
        }
      }
      flips += series.qa->flips.size() + (series.qb != nullptr ? series.qb->flips.size() : 0);
    }
    pieces_.reserve(reached);
    stretch_of_.reserve(reached);
    flip_of_.reserve(flips);
    for (const Series& series : series_) add_pieces(series);
  }

  // Each qubit's stretches, sorted by start: by_qubit_[qubit_first_[q] .. [q + 1]).
  void sort_by_qubit() {
    const std::size_t qubits = model_.qubits.size();
    const std::size_t n = stretches_.size();
    qubit_first_.assign(qubits + 1, 0);
    for (std::size_t i = 0; i < n; ++i) ++qubit_first_[stretches_.qubit(i) + 1];
    for (std::size_t q = 0; q < qubits; ++q) qubit_first_[q + 1] += qubit_first_[q];
    by_qubit_.resize(n);
    std::vector<std::size_t> next(qubit_first_.begin(), qubit_first_.end() - 1);
    for (std::size_t i = 0; i < n; ++i) by_qubit_[next[stretches_.qubit(i)]++] = i;
    for (std::size_t q = 0; q < qubits; ++q) {
      std::sort(by_qubit_.begin() + static_cast<std::ptrdiff_t>(qubit_first_[q]),
                by_qubit_.begin() + static_cast<std::ptrdiff_t>(qubit_first_[q + 1]),
                [&](std::size_t x, std::size_t y) {
                  return stretches_.begin(x) < stretches_.begin(y);
                });
    }
  }

  // A qubit's detuning or an edge's ZZ, scored per segment between the turns of its frame
  // (of both frames, merged, for an edge): its qubits' stretches (the second's none for a
  // detuning) and, by stretch, the first and last segment it reaches (in reach_).
  struct Series {
    std::span<const std::size_t> stretches[2];
    std::size_t turns;  // an edge's turns: series_turns_[turns .. + turn_count) (see turns_of())
    std::size_t turn_count;
    std::size_t reach[2];  // by side: reach_[reach[side] ..] the first segments, then the last
    double weight;
    const DdCostQubit* qa;
    const DdCostQubit* qb;  // null for a detuning
  };

  // The series that some stretch reaches, detunings first, in the order of the qubits and
  // the edges.
  void collect_series() {
    const std::size_t qubits = model_.qubits.size();
    series_.clear();
    series_turns_.clear();
    reach_.clear();
    // Room for every series, so that nothing is moved as the lists grow.
    std::size_t reached = 2 * stretches_.size(), turns = 0;
    for (const DdCostEdge& edge : model_.edges) {
      if (edge.a >= qubits || edge.b >= qubits) continue;
      reached += 2 * (of_qubit(edge.a).size() + of_qubit(edge.b).size());
      turns += model_.qubits[edge.a].turns.size() + model_.qubits[edge.b].turns.size();
    }
    reach_.reserve(reached);
    series_turns_.reserve(turns);
    auto add = [&](std::span<const std::size_t> sa, std::span<const std::size_t> sb,
                   double weight, const DdCostQubit& qa, const DdCostQubit* qb) {
      Series series{{sa, sb}, series_turns_.size(), 0, {0, 0}, weight, &qa, qb};
      if (qb != nullptr) {
        std::merge(qa.turns.begin(), qa.turns.end(), qb->turns.begin(), qb->turns.end(),
                   std::back_inserter(series_turns_));
      }
      series.turn_count = qb != nullptr ? series_turns_.size() - series.turns : qa.turns.size();
      for (std::size_t side = 0; side < 2; ++side) {
        series.reach[side] = reach_.size();
        reach_.resize(reach_.size() + 2 * series.stretches[side].size());
      }
      series_.push_back(series);
    };
    for (std::size_t q = 0; q < qubits; ++q) {
      const DdCostQubit& own = model_.qubits[q];
      const double weight = own.detuning_variance / 4.0;
      if (!(weight > 0.0) || qubit_first_[q] == qubit_first_[q + 1]) continue;
      add(of_qubit(q), {}, weight, own, nullptr);
    }
    for (const DdCostEdge& edge : model_.edges) {
      if (edge.a >= qubits || edge.b >= qubits || edge.a == edge.b) continue;
      const double weight = edge.zeta * edge.zeta / 16.0;
      if (!(weight > 0.0)) continue;
      const std::span<const std::size_t> sa = of_qubit(edge.a), sb = of_qubit(edge.b);
      if (sa.empty() && sb.empty()) continue;
      add(sa, sb, weight, model_.qubits[edge.a], &model_.qubits[edge.b]);
    }
    for (const Series& series : series_) {
      for (std::size_t side = 0; side < 2; ++side) find_reach(series, side);
    }
  }

  // The turns of a series.
  std::span<const double> turns_of(const Series& series) const {
    if (series.qb == nullptr) return series.qa->turns;
    return {series_turns_.data() + series.turns, series.turn_count};
  }

  // By stretch of one side of a series, the first and last segment it reaches: segment k
  // lies between turns k - 1 and k, and a stretch reaches those from the one holding its
  // start to the one holding its end. The stretches come sorted by start and, disjoint, by
  // end: the turns are walked forward (searched again where an end comes earlier).
  // O(stretches + turns).
  void find_reach(const Series& series, std::size_t side) {
    const std::span<const double> turns = turns_of(series);
    const std::span<const std::size_t> list = series.stretches[side];
    std::size_t* first = reach_.data() + series.reach[side];
    std::size_t* last = first + list.size();
    std::size_t at = 0, end = 0;
    for (std::size_t j = 0; j < list.size(); ++j) {
      const double b = stretches_.begin(list[j]), e = stretches_.end(list[j]);
      while (at < turns.size() && turns[at] <= b) ++at;
      first[j] = at;
      if (j > 0 && e < stretches_.end(list[j - 1])) {
        end = static_cast<std::size_t>(std::lower_bound(turns.begin(), turns.end(), e) -
                                       turns.begin());
      }
      while (end < turns.size() && turns[end] < e) ++end;
      last[j] = end;
    }
  }

  // Qubit q's stretches, sorted by start.
  std::span<const std::size_t> of_qubit(std::size_t q) const {
    return {by_qubit_.data() + qubit_first_[q], qubit_first_[q + 1] - qubit_first_[q]};
  }

  // One qubit's stretches (sorted by start) in the frame segments of a series: by stretch,
  // the first and last segment it reaches, both non-decreasing as the stretches are
  // disjoint; `at` and `end` bound those that reach the segment being built.
  struct SegmentWalk {
    std::span<const std::size_t> stretches, first, last;
    std::size_t at = 0, end = 0;

    SegmentWalk(const Series& series, std::size_t side, const Indices& reach)
        : stretches(series.stretches[side]),
          first(reach.data() + series.reach[side], stretches.size()),
          last(first.data() + stretches.size(), stretches.size()) {}
    // Moves [at, end) to the stretches that reach segment k (k never decreasing).
    void reach(std::size_t k) {
      while (at < last.size() && last[at] < k) ++at;
      if (end < at) end = at;
      while (end < first.size() && first[end] <= k) ++end;
    }
    // The first segment one of the stretches reaches, kNone if there are none.
    std::size_t next_from_start() const { return first.empty() ? kNone : first[0]; }
    // The next segment after k that one of the stretches reaches, kNone if none does.
    std::size_t next(std::size_t k) const {
      std::size_t j = at;
      while (j < last.size() && last[j] <= k) ++j;
      return j < last.size() ? std::max(k + 1, first[j]) : kNone;
    }
  };

  // The pieces of the segments of `series` that its stretches reach, in the order of the
  // segments: each from the turn before to the turn after, within [lo_, hi_], with the busy
  // flips of its qubits inside. O(stretches + segments reached + log per segment holding
  // flips).
  void add_pieces(const Series& series) {
    SegmentWalk walks[2] = {{series, 0, reach_}, {series, 1, reach_}};
    const double* turns = turns_of(series).data();
    // Each qubit's busy flips inside the segment being built, walked forward.
    const DdCostQubit* qb = series.qb;
    const double* a_first = series.qa->flips.data();
    const double* a_last = a_first;
    const double* a_end = a_first + series.qa->flips.size();
    const double* b_first = qb != nullptr ? qb->flips.data() : nullptr;
    const double* b_last = b_first;
    const double* b_end = qb != nullptr ? b_first + qb->flips.size() : nullptr;
    std::size_t k = std::min(walks[0].next_from_start(), walks[1].next_from_start());
    while (k != kNone) {
      const double lo = std::max(lo_, k == 0 ? lo_ : turns[k - 1]);
      const double hi = std::min(hi_, k == series.turn_count ? hi_ : turns[k]);
      for (SegmentWalk& w : walks) w.reach(k);
      if (hi > lo) {
        Piece p{lo, hi, series.weight, stretch_of_.size(), 0, flip_of_.size(), 0, 0, 0};
        for (const SegmentWalk& w : walks) {
          for (std::size_t j = w.at; j < w.end; ++j) stretch_of_.push_back(w.stretches[j]);
          if (&w == &walks[0]) p.split = stretch_of_.size() - p.stretches;
        }
        p.stretch_count = stretch_of_.size() - p.stretches;
        walk_inside(a_first, a_last, a_end, lo, hi);
        if (qb != nullptr) walk_inside(b_first, b_last, b_end, lo, hi);
        std::merge(a_first, a_last, b_first, b_last, std::back_inserter(flip_of_));
        p.flip_count = flip_of_.size() - p.flips;
        pieces_.push_back(p);
      }
      k = std::min(walks[0].next(k), walks[1].next(k));
    }
  }

  // The indices 0 .. count - 1 by key(x) (each below `keys`), each key's in order:
  // members[first[r] .. first[r + 1]) are those of key r. A counting sort.
  template <class Key>
  static void group(std::size_t count, Key key, std::size_t keys, std::vector<std::size_t>& first,
                    Indices& members) {
    first.assign(keys + 1, 0);
    for (std::size_t x = 0; x < count; ++x) ++first[key(x) + 1];
    for (std::size_t r = 0; r < keys; ++r) first[r + 1] += first[r];
    members.resize(count);
    Indices next(first.begin(), first.end() - 1);
    for (std::size_t x = 0; x < count; ++x) members[next[key(x)]++] = x;
  }

  std::size_t find(std::size_t x) {
    while (parent_[x] != x) x = parent_[x] = parent_[parent_[x]];
    return x;
  }

  void build_regions() {
    const std::size_t n = stretches_.size();
    parent_.resize(n);
    std::iota(parent_.begin(), parent_.end(), std::size_t{0});
    for (const Piece& p : pieces_) {
      const std::size_t root = find(stretch_of_[p.stretches]);
      for (std::size_t j = 1; j < p.stretch_count; ++j) {
        const std::size_t other = find(stretch_of_[p.stretches + j]);
        if (other != root) parent_[other] = root;
      }
    }
    region_.resize(n);
    std::vector<std::size_t> index(n, kNone);
    std::size_t regions = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t root = find(i);
      if (index[root] == kNone) index[root] = regions++;
      region_[i] = index[root];
    }
    regions_ = regions;
    for (Piece& p : pieces_) p.region = region_[stretch_of_[p.stretches]];
    group(n, [&](std::size_t i) { return region_[i]; }, regions, region_first_,
          region_stretches_);
    group(pieces_.size(), [&](std::size_t q) { return pieces_[q].region; }, regions,
          region_piece_first_, region_pieces_);
    // Which pieces each stretch reaches, and its entry in each.
    touch_offsets_.assign(n + 1, 0);
    for (std::size_t i : stretch_of_) ++touch_offsets_[i + 1];
    for (std::size_t i = 0; i < n; ++i) touch_offsets_[i + 1] += touch_offsets_[i];
    touches_.resize(touch_offsets_[n]);
    touch_entry_.resize(touch_offsets_[n]);
    Indices next(touch_offsets_.begin(), touch_offsets_.end() - 1);
    for (std::size_t pi = 0; pi < pieces_.size(); ++pi) {
      const Piece& p = pieces_[pi];
      for (std::size_t e = p.stretches; e < p.stretches + p.stretch_count; ++e) {
        const std::size_t t = next[stretch_of_[e]]++;
        touches_[t] = pi;
        touch_entry_[t] = e;
      }
    }
  }

  // By entry (of stretch_of_), the pulses of each of its stretch's candidates inside its
  // piece, and by the same, the first candidate with the same pulses there. A stretch's
  // pieces of one qubit or edge come in time order, so each candidate's pulses are walked
  // forward from where its last piece left them. O(entries · candidates + pulses walked).
  void build_spans() {
    const std::size_t n = stretches_.size();
    Indices cursor(stretches_.first_candidate(n));  // by candidate, set at its first piece
    std::vector<double> last_lo(n, std::numeric_limits<double>::infinity());  // by stretch
    span_of_.resize(stretch_of_.size());
    std::size_t total = 0;
    for (std::size_t i : stretch_of_) total += stretches_.candidate_count(i);
    spans_.clear();
    spans_.reserve(total);
    alias_.clear();
    alias_.reserve(total);
    for (const Piece& p : pieces_) {
      for (std::size_t e = p.stretches; e < p.stretches + p.stretch_count; ++e) {
        const std::size_t i = stretch_of_[e];
        const std::size_t first = stretches_.first_candidate(i);
        const std::size_t count = stretches_.candidate_count(i);
        if (p.lo < last_lo[i]) {
          for (std::size_t c = first; c < first + count; ++c) {
            cursor[c] = stretches_.centre_offset(c);
          }
        }
        last_lo[i] = p.lo;
        span_of_[e] = spans_.size();
        if (p.lo <= stretches_.begin(i) && stretches_.end(i) <= p.hi) {
          // The whole stretch, and so all its candidates' pulses, lie in the piece.
          for (std::size_t c = first; c < first + count; ++c) {
            spans_.push_back({stretches_.centre_offset(c), stretches_.candidate(c).size()});
            alias_.push_back(same_[c]);
          }
          continue;
        }
        for (std::size_t k = 0; k < count; ++k) {
          const std::size_t end =
              stretches_.centre_offset(first + k) + stretches_.candidate(first + k).size();
          std::size_t& at = cursor[first + k];
          while (at < end && centres_[at] <= p.lo) ++at;
          std::size_t last = at;
          while (last < end && centres_[last] < p.hi) ++last;
          spans_.push_back({at, last - at});
          alias_.push_back(first_same(span_of_[e], k));
        }
      }
    }
  }

  // Of the spans from spans_[from] on (one per candidate, k the last of them), the first
  // that holds the same pulses as k.
  std::size_t first_same(std::size_t from, std::size_t k) const {
    const Span& s = spans_[from + k];
    for (std::size_t earlier = 0; earlier < k; ++earlier) {
      const Span& o = spans_[from + earlier];
      if (alias_[from + earlier] == earlier && o.count == s.count &&
          std::equal(centres_ + o.first, centres_ + o.first + o.count, centres_ + s.first)) {
        return earlier;
      }
    }
    return k;
  }

  // By stretch, whether every candidate holds an even number of pulses; by candidate, the
  // first of its stretch's candidates the same as it.
  void build_candidate_sets() {
    const std::size_t n = stretches_.size();
    even_.resize(n);
    same_.resize(stretches_.first_candidate(n));
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t first = stretches_.first_candidate(i);
      bool even = true;
      for (std::size_t k = 0; k < stretches_.candidate_count(i); ++k) {
        const std::span<const double> centres = stretches_.candidate(first + k);
        even = even && centres.size() % 2 == 0;
        same_[first + k] = k;
        for (std::size_t earlier = 0; earlier < k; ++earlier) {
          const std::span<const double> other = stretches_.candidate(first + earlier);
          if (same_[first + earlier] == earlier &&
              std::equal(centres.begin(), centres.end(), other.begin(), other.end())) {
            same_[first + k] = earlier;
            break;
          }
        }
      }
      even_[i] = even;
    }
  }

  const DdCostModel& model_;
  const DdCostStretches& stretches_;
  const double* centres_;  // stretches_.centres()
  Indices by_qubit_;                      // each qubit's stretches: of_qubit()
  std::vector<std::size_t> qubit_first_;
  std::vector<Piece> pieces_;
  std::vector<std::size_t> stretch_of_;  // the pieces' stretches, piece after piece: entries
  std::vector<double> flip_of_;          // the pieces' own flips, piece after piece
  std::vector<std::size_t> parent_;      // union-find over stretches
  Indices region_;                       // by stretch
  std::size_t regions_ = 0;
  // By region, its stretches and its pieces, each in order.
  std::vector<std::size_t> region_first_, region_piece_first_;
  Indices region_stretches_, region_pieces_;
  std::vector<std::size_t> touch_offsets_;  // by stretch: where its touches_ start
  Indices touches_;                         // by the same: the pieces it reaches
  Indices touch_entry_;  // by the same: the stretch's entry in the piece
  Indices span_of_;      // by entry: where its spans_ and alias_ start
  std::vector<Span> spans_;               // see build_spans()
  std::vector<std::size_t> alias_;        // see build_spans()
  std::vector<std::size_t> same_;         // by candidate: see build_candidate_sets()
  std::vector<std::size_t> choice_;
  std::vector<double> values_;  // by piece: its integral under choice_ (in choose())
  // By piece the stretch looked at touches: see touch().
  Values rest_, part_;
  std::vector<Window> windows_;
  std::vector<double> others_;   // the windows' pulses of other stretches, window after window
  Values moved_;                 // by candidate, then by the same pieces: see local()
  std::vector<char> scored_;     // by candidate of the stretch looked at: moved_ holds it
  std::vector<char> prepared_;   // by piece it touches: touch() ran
  std::vector<double> first_pulses_, second_pulses_;  // integral()'s, by qubit of the piece
  std::vector<bool> even_;      // by stretch: every candidate holds an even number of pulses
  std::vector<Series> series_;         // see collect_series()
  std::vector<double> series_turns_;   // the edges' turns, edge after edge
  Indices reach_;                      // see Series
  double lo_ = 0.0, hi_ = 0.0;  // the time the score covers
};

}  // namespace

std::vector<std::size_t> dd_choose_candidates(const DdCostModel& model,
                                              const DdCostStretches& stretches,
                                              std::size_t uniform) {
  if (stretches.empty()) return {};
  return Chooser(model, stretches).choose(std::max<std::size_t>(uniform, 1));
}

double dd_choice_score(const DdCostModel& model, const DdCostStretches& stretches,
                       std::span<const std::size_t> choice) {
  if (stretches.empty()) return 0.0;
  return Chooser(model, stretches).score(choice);
}

}  // namespace vornak
