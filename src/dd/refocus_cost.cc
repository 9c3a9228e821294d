#include "dd/refocus_cost.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <iterator>
#include <numeric>
#include <utility>

namespace vornak {

double dd_sign_integral(double a, double b, std::span<const double> flips) {
  double sum = 0.0, from = a, sign = 1.0;
  for (double t : flips) {
    if (!(t > a) || !(t < b)) continue;
    sum += sign * (t - from);
    from = t;
    sign = -sign;
  }
  return sum + sign * (b - from);
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

namespace {

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

class Chooser {
 public:
  Chooser(const DdCostModel& model, std::span<const DdCostStretch> stretches)
      : model_(model), stretches_(stretches) {
    build_pieces();
    build_regions();
    even_.resize(stretches.size());
    for (std::size_t i = 0; i < stretches.size(); ++i) {
      even_[i] = std::all_of(stretches[i].candidates.begin(), stretches[i].candidates.end(),
                             [](const std::vector<double>& c) { return c.size() % 2 == 0; });
    }
  }

  double own(std::size_t i, std::size_t k) const {
    const DdCostStretch& st = stretches_[i];
    const DdCostQubit& q = model_.qubits[st.qubit];
    return q.pulse_error * static_cast<double>(st.candidates[k].size());
  }

  // The piece's integral (∫s, or ∫s_a s_b) with stretch `changed` on candidate `k` and the
  // others on choice_: every flip in it gathered and sorted. O(its flips · log).
  double integral(const Piece& p, std::size_t changed, std::size_t k) {
    scratch_.assign(flip_of_.begin() + static_cast<std::ptrdiff_t>(p.flips),
                    flip_of_.begin() + static_cast<std::ptrdiff_t>(p.flips + p.flip_count));
    for (std::size_t j = 0; j < p.stretch_count; ++j) {
      const std::size_t i = stretch_of_[p.stretches + j];
      inside(stretches_[i].candidates[i == changed ? k : choice_[i]], p.lo, p.hi);
    }
    std::sort(scratch_.begin(), scratch_.end());
    return dd_sign_integral(p.lo, p.hi, scratch_);
  }

  // Whether a change of stretch i moves the integral of piece `p` only within the stretch:
  // its candidates all hold an even number of pulses (each leaves the frame as it found it),
  // and it does not reach into the piece from before it while ending inside.
  bool confined(const Piece& p, std::size_t i) const {
    const DdCostStretch& st = stretches_[i];
    return even_[i] && !(st.begin < p.lo && st.end < p.hi);
  }

  // The part of piece p's integral that lies within stretch i, with i on candidate k and the
  // others on choice_ (for confined() pairs). Only the flips in that window and the sign at
  // its start are needed: before the window, only the pulses of stretches that reach into the
  // piece from before it, or overlap the window's start, do not pair up.
  // O(flips in the window · log + log).
  double window(const Piece& p, std::size_t i, std::size_t k) {
    const DdCostStretch& st = stretches_[i];
    const double lo = std::max(p.lo, st.begin), hi = std::min(p.hi, st.end);
    const double* flips = flip_of_.data() + p.flips;
    const double* flips_end = flips + p.flip_count;
    // The busy flips strictly inside (p.lo, lo), and those inside the window.
    const double* from = std::upper_bound(flips, flips_end, p.lo);
    const double* at = std::lower_bound(from, flips_end, lo);
    std::size_t before = static_cast<std::size_t>(at - from);
    scratch_.clear();
    for (const double* f = std::upper_bound(at, flips_end, lo); f != flips_end && *f < hi; ++f) {
      scratch_.push_back(*f);
    }
    inside(st.candidates[k], lo, hi);
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
      if (stretches_[list[0]].begin < p.lo && list[0] != i && stretches_[list[0]].end <= lo) {
        before += between(stretches_[list[0]].candidates[choice_[list[0]]], p.lo, lo);
      }
      if (stretches_[list[0]].qubit == st.qubit) continue;
      std::size_t j = static_cast<std::size_t>(
          std::lower_bound(list, list + count, hi,
                           [&](std::size_t x, double t) { return stretches_[x].begin < t; }) -
          list);
      while (j-- > 0 && stretches_[list[j]].end > lo) {
        const std::vector<double>& centres = stretches_[list[j]].candidates[choice_[list[j]]];
        before += between(centres, p.lo, std::nextafter(lo, hi));
        inside(centres, lo, hi);
      }
    }
    std::sort(scratch_.begin(), scratch_.end());
    const double part = dd_sign_integral(lo, hi, scratch_);
    return before % 2 ? -part : part;
  }

  // The number of sorted `times` strictly inside (a, b).
  static std::size_t between(const std::vector<double>& times, double a, double b) {
    const auto first = std::upper_bound(times.begin(), times.end(), a);
    return static_cast<std::size_t>(std::lower_bound(first, times.end(), b) - first);
  }

  // Appends the sorted `times` strictly inside (a, b) to scratch_.
  void inside(const std::vector<double>& times, double a, double b) {
    const auto first = std::upper_bound(times.begin(), times.end(), a);
    for (auto t = first; t != times.end() && *t < b; ++t) scratch_.push_back(*t);
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
    const std::size_t n = stretches_.size();
    const std::size_t regions = regions_;
    // Each region's score under each uniform choice.
    std::vector<double> best(regions, std::numeric_limits<double>::infinity());
    std::vector<std::size_t> best_c(regions, 0);
    std::vector<std::vector<double>> values(uniform, std::vector<double>(pieces_.size()));
    for (std::size_t c = 0; c < uniform; ++c) {
      choice_.assign(n, c);
      std::vector<double> sums(regions, 0.0);
      for (std::size_t i = 0; i < n; ++i) sums[region_[i]] += own(i, c);
      for (std::size_t q = 0; q < pieces_.size(); ++q) {
        const Piece& p = pieces_[q];
        const double v = values[c][q] = integral(p, kNone, 0);
        sums[p.region] += p.weight * v * v;
      }
      for (std::size_t r = 0; r < regions; ++r) {
        if (sums[r] < best[r]) {
          best[r] = sums[r];
          best_c[r] = c;
        }
      }
    }
    choice_.resize(n);
    for (std::size_t i = 0; i < n; ++i) choice_[i] = best_c[region_[i]];
    values_.resize(pieces_.size());
    for (std::size_t q = 0; q < pieces_.size(); ++q) values_[q] = values[best_c[pieces_[q].region]][q];
    // One stretch at a time, each keeping the candidate that lowers the score most, until no
    // single change lowers it: a stretch is looked at again only once a stretch that shares
    // a segment with it changed (and at most kSweeps times over all, as a bound).
    std::vector<std::size_t> queue(n);
    std::iota(queue.begin(), queue.end(), std::size_t{0});
    std::vector<char> queued(n, 1);
    const std::size_t most = kSweeps * n;
    for (std::size_t head = 0; head < queue.size() && head < most; ++head) {
      const std::size_t i = queue[head];
      queued[i] = 0;
      const std::size_t current = choice_[i];
      const std::size_t touched = touch_offsets_[i + 1] - touch_offsets_[i];
      // Each touched piece's integral less the part that stretch i's candidate sets.
      rest_.resize(touched);
      double base = own(i, current);
      for (std::size_t j = 0; j < touched; ++j) {
        const std::size_t q = touches_[touch_offsets_[i] + j];
        const Piece& p = pieces_[q];
        rest_[j] = confined(p, i) ? values_[q] - window(p, i, current) : kNan;
        base += p.weight * values_[q] * values_[q];
      }
      std::size_t pick = current;
      double lowest = base;
      const auto& candidates = stretches_[i].candidates;
      for (std::size_t k = 0; k < candidates.size(); ++k) {
        // A candidate the same as one before it, or as the current one, scores the same.
        if (k == current || candidates[k] == candidates[current] ||
            std::find(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(k),
                      candidates[k]) != candidates.begin() + static_cast<std::ptrdiff_t>(k)) {
          continue;
        }
        const double value = local(i, k);
        // A change must gain more than rounding: ties keep what the region started from.
        if (value < lowest - 1e-12 * std::max(1.0, std::abs(base))) {
          lowest = value;
          pick = k;
        }
      }
      if (pick == current) continue;
      for (std::size_t j = 0; j < touched; ++j) {
        values_[touches_[touch_offsets_[i] + j]] = moved(j, i, pick);
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

  // The integral of the j-th piece stretch i touches, with i on candidate k (rest_ set for i).
  double moved(std::size_t j, std::size_t i, std::size_t k) {
    const Piece& p = pieces_[touches_[touch_offsets_[i] + j]];
    return std::isnan(rest_[j]) ? integral(p, i, k) : rest_[j] + window(p, i, k);
  }

  // The terms of the score that stretch i's candidate k changes (rest_ set for i).
  double local(std::size_t i, std::size_t k) {
    double total = own(i, k);
    const std::size_t touched = touch_offsets_[i + 1] - touch_offsets_[i];
    for (std::size_t j = 0; j < touched; ++j) {
      const double v = moved(j, i, k);
      total += pieces_[touches_[touch_offsets_[i] + j]].weight * v * v;
    }
    return total;
  }

  void build_pieces() {
    const std::size_t qubits = model_.qubits.size();
    std::vector<std::vector<std::size_t>> by_qubit(qubits);
    for (std::size_t i = 0; i < stretches_.size(); ++i) by_qubit[stretches_[i].qubit].push_back(i);
    for (auto& list : by_qubit) {
      std::sort(list.begin(), list.end(), [&](std::size_t x, std::size_t y) {
        return stretches_[x].begin < stretches_[y].begin;
      });
    }
    lo_ = model_.begin;
    hi_ = model_.end;
    for (const DdCostStretch& st : stretches_) hi_ = std::max(hi_, st.end);
    // Each qubit's detuning, per segment of its own frame.
    for (std::size_t q = 0; q < qubits; ++q) {
      const DdCostQubit& own = model_.qubits[q];
      const double weight = own.detuning_variance / 4.0;
      if (!(weight > 0.0) || by_qubit[q].empty()) continue;
      add_pieces(by_qubit[q], own.turns, weight, own, nullptr, q);
    }
    // Each edge's ZZ, per segment where neither frame turns.
    std::vector<std::size_t> both;
    std::vector<double> turns;
    for (const DdCostEdge& edge : model_.edges) {
      if (edge.a >= qubits || edge.b >= qubits || edge.a == edge.b) continue;
      const double weight = edge.zeta * edge.zeta / 16.0;
      if (!(weight > 0.0)) continue;
      const std::vector<std::size_t>& sa = by_qubit[edge.a];
      const std::vector<std::size_t>& sb = by_qubit[edge.b];
      if (sa.empty() && sb.empty()) continue;
      both.clear();
      std::merge(sa.begin(), sa.end(), sb.begin(), sb.end(), std::back_inserter(both),
                 [&](std::size_t x, std::size_t y) {
                   return stretches_[x].begin < stretches_[y].begin;
                 });
      const DdCostQubit& qa = model_.qubits[edge.a];
      const DdCostQubit& qb = model_.qubits[edge.b];
      turns.clear();
      std::merge(qa.turns.begin(), qa.turns.end(), qb.turns.begin(), qb.turns.end(),
                 std::back_inserter(turns));
      add_pieces(both, turns, weight, qa, &qb, edge.a);
    }
  }

  // The pieces of the frame segments between `turns` (sorted) that `stretches` (sorted by
  // their starts) reach: each from the turn before to the turn after, within [lo_, hi_], with
  // the busy flips of `qa` (and `qb`) inside.
  void add_pieces(const std::vector<std::size_t>& stretches, const std::vector<double>& turns,
                  double weight, const DdCostQubit& qa, const DdCostQubit* qb,
                  std::size_t first_qubit) {
    segment_of_.clear();
    for (std::size_t i : stretches) {
      const DdCostStretch& st = stretches_[i];
      // Segment k lies between turns k - 1 and k; the stretch reaches those from the one
      // holding its start to the one holding its end.
      const std::size_t first = static_cast<std::size_t>(
          std::upper_bound(turns.begin(), turns.end(), st.begin) - turns.begin());
      const std::size_t last = static_cast<std::size_t>(
          std::lower_bound(turns.begin(), turns.end(), st.end) - turns.begin());
      for (std::size_t k = first; k <= last; ++k) segment_of_.emplace_back(k, i);
    }
    std::sort(segment_of_.begin(), segment_of_.end());
    for (std::size_t j = 0; j < segment_of_.size();) {
      const std::size_t k = segment_of_[j].first;
      const double lo = std::max(lo_, k == 0 ? lo_ : turns[k - 1]);
      const double hi = std::min(hi_, k == turns.size() ? hi_ : turns[k]);
      Piece p{lo, hi, weight, stretch_of_.size(), 0, flip_of_.size(), 0, 0, 0};
      for (; j < segment_of_.size() && segment_of_[j].first == k; ++j) {
        stretch_of_.push_back(segment_of_[j].second);
      }
      p.stretch_count = stretch_of_.size() - p.stretches;
      std::sort(stretch_of_.begin() + static_cast<std::ptrdiff_t>(p.stretches), stretch_of_.end(),
                [&](std::size_t x, std::size_t y) {
                  const bool xa = stretches_[x].qubit == first_qubit;
                  const bool ya = stretches_[y].qubit == first_qubit;
                  if (xa != ya) return xa;
                  return stretches_[x].begin < stretches_[y].begin;
                });
      p.split = static_cast<std::size_t>(
          std::count_if(stretch_of_.begin() + static_cast<std::ptrdiff_t>(p.stretches),
                        stretch_of_.end(),
                        [&](std::size_t x) { return stretches_[x].qubit == first_qubit; }));
      for (const DdCostQubit* q : {&qa, qb}) {
        if (q == nullptr) continue;
        auto f = std::upper_bound(q->flips.begin(), q->flips.end(), lo);
        for (; f != q->flips.end() && *f < hi; ++f) flip_of_.push_back(*f);
      }
      p.flip_count = flip_of_.size() - p.flips;
      std::sort(flip_of_.begin() + static_cast<std::ptrdiff_t>(p.flips), flip_of_.end());
      if (hi > lo) pieces_.push_back(p);
    }
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
    region_.assign(n, 0);
    std::vector<std::size_t> index(n, kNone);
    std::size_t regions = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t root = find(i);
      if (index[root] == kNone) index[root] = regions++;
      region_[i] = index[root];
    }
    regions_ = regions;
    for (Piece& p : pieces_) p.region = region_[stretch_of_[p.stretches]];
    // Which pieces each stretch reaches.
    touch_offsets_.assign(n + 1, 0);
    for (const Piece& p : pieces_) {
      for (std::size_t j = 0; j < p.stretch_count; ++j) ++touch_offsets_[stretch_of_[p.stretches + j] + 1];
    }
    for (std::size_t i = 0; i < n; ++i) touch_offsets_[i + 1] += touch_offsets_[i];
    touches_.assign(touch_offsets_[n], 0);
    std::vector<std::size_t> next(touch_offsets_.begin(), touch_offsets_.end() - 1);
    for (std::size_t pi = 0; pi < pieces_.size(); ++pi) {
      const Piece& p = pieces_[pi];
      for (std::size_t j = 0; j < p.stretch_count; ++j) touches_[next[stretch_of_[p.stretches + j]]++] = pi;
    }
  }

  const DdCostModel& model_;
  std::span<const DdCostStretch> stretches_;
  std::vector<Piece> pieces_;
  std::vector<std::size_t> stretch_of_;  // the pieces' stretches, piece after piece
  std::vector<double> flip_of_;          // the pieces' own flips, piece after piece
  std::vector<std::size_t> parent_;      // union-find over stretches
  std::vector<std::size_t> region_;      // by stretch
  std::size_t regions_ = 0;
  std::vector<std::size_t> touch_offsets_, touches_;  // by stretch: the pieces it reaches
  std::vector<std::size_t> choice_;
  std::vector<double> values_;  // by piece: its integral under choice_ (in choose())
  std::vector<double> rest_;    // by piece the stretch being changed touches: see choose()
  std::vector<bool> even_;      // by stretch: every candidate holds an even number of pulses
  std::vector<double> scratch_;
  std::vector<std::pair<std::size_t, std::size_t>> segment_of_;  // (segment, stretch)
  double lo_ = 0.0, hi_ = 0.0;  // the time the score covers
};

}  // namespace

std::vector<std::size_t> dd_choose_candidates(const DdCostModel& model,
                                              std::span<const DdCostStretch> stretches,
                                              std::size_t uniform) {
  if (stretches.empty()) return {};
  return Chooser(model, stretches).choose(std::max<std::size_t>(uniform, 1));
}

double dd_choice_score(const DdCostModel& model, std::span<const DdCostStretch> stretches,
                       std::span<const std::size_t> choice) {
  if (stretches.empty()) return 0.0;
  return Chooser(model, stretches).score(choice);
}

}  // namespace vornak
