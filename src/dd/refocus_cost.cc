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
  auto decay = [&](double t) {
    return t > 0.0 && std::isfinite(t) ? std::exp(-duration / t) : 1.0;
  };
  const double coherence = 1.0 - (3.0 + 2.0 * decay(t2) + decay(t1)) / 6.0;
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
};

class Chooser {
 public:
  Chooser(const DdCostModel& model, std::span<const DdCostStretch> stretches)
      : model_(model), stretches_(stretches) {
    build_pieces();
    build_regions();
  }

  double own(std::size_t i, std::size_t k) const {
    const DdCostStretch& st = stretches_[i];
    const DdCostQubit& q = model_.qubits[st.qubit];
    return q.pulse_error * static_cast<double>(st.candidates[k].size());
  }

  // The piece's term with stretch `changed` on candidate `k` and the others on choice_.
  double piece(const Piece& p, std::size_t changed, std::size_t k) {
    scratch_.assign(flip_of_.begin() + static_cast<std::ptrdiff_t>(p.flips),
                    flip_of_.begin() + static_cast<std::ptrdiff_t>(p.flips + p.flip_count));
    for (std::size_t j = 0; j < p.stretch_count; ++j) {
      const std::size_t i = stretch_of_[p.stretches + j];
      const std::vector<double>& centres =
          stretches_[i].candidates[i == changed ? k : choice_[i]];
      for (double t : centres) {
        if (t > p.lo && t < p.hi) scratch_.push_back(t);
      }
    }
    std::sort(scratch_.begin(), scratch_.end());
    const double overlap = dd_sign_integral(p.lo, p.hi, scratch_);
    return p.weight * overlap * overlap;
  }

  double score(std::span<const std::size_t> choice) {
    choice_.assign(choice.begin(), choice.end());
    double total = 0.0;
    for (std::size_t i = 0; i < stretches_.size(); ++i) total += own(i, choice_[i]);
    for (const Piece& p : pieces_) total += piece(p, kNone, 0);
    return total;
  }

  std::vector<std::size_t> choose(std::size_t uniform) {
    const std::size_t n = stretches_.size();
    const std::size_t regions = regions_;
    // Each region's score under each uniform choice.
    std::vector<double> best(regions, std::numeric_limits<double>::infinity());
    std::vector<std::size_t> best_c(regions, 0);
    for (std::size_t c = 0; c < uniform; ++c) {
      choice_.assign(n, c);
      std::vector<double> sums(regions, 0.0);
      for (std::size_t i = 0; i < n; ++i) sums[region_[i]] += own(i, c);
      for (const Piece& p : pieces_) sums[p.region] += piece(p, kNone, 0);
      for (std::size_t r = 0; r < regions; ++r) {
        if (sums[r] < best[r]) {
          best[r] = sums[r];
          best_c[r] = c;
        }
      }
    }
    choice_.resize(n);
    for (std::size_t i = 0; i < n; ++i) choice_[i] = best_c[region_[i]];
    // One stretch at a time, each keeping the candidate that lowers the score most.
    for (int sweep = 0; sweep < 2; ++sweep) {
      bool changed = false;
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t current = choice_[i];
        const double base = local(i, current);
        std::size_t pick = current;
        double lowest = base;
        for (std::size_t k = 0; k < stretches_[i].candidates.size(); ++k) {
          if (k == current) continue;
          const double value = local(i, k);
          // A change must gain more than rounding: ties keep what the region started from.
          if (value < lowest - 1e-12 * std::max(1.0, std::abs(base))) {
            lowest = value;
            pick = k;
          }
        }
        if (pick != current) {
          choice_[i] = pick;
          changed = true;
        }
      }
      if (!changed) break;
    }
    return choice_;
  }

 private:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  // The terms of the score that stretch i's candidate k changes.
  double local(std::size_t i, std::size_t k) {
    double total = own(i, k);
    for (std::size_t j = touch_offsets_[i]; j < touch_offsets_[i + 1]; ++j) {
      total += piece(pieces_[touches_[j]], i, k);
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
      add_pieces(by_qubit[q], own.turns, weight, own, nullptr);
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
      add_pieces(both, turns, weight, qa, &qb);
    }
  }

  // The pieces of the frame segments between `turns` (sorted) that `stretches` (sorted by
  // their starts) reach: each from the turn before to the turn after, within [lo_, hi_], with
  // the busy flips of `qa` (and `qb`) inside.
  void add_pieces(const std::vector<std::size_t>& stretches, const std::vector<double>& turns,
                  double weight, const DdCostQubit& qa, const DdCostQubit* qb) {
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
      Piece p{lo, hi, weight, stretch_of_.size(), 0, flip_of_.size(), 0, 0};
      for (; j < segment_of_.size() && segment_of_[j].first == k; ++j) {
        stretch_of_.push_back(segment_of_[j].second);
      }
      p.stretch_count = stretch_of_.size() - p.stretches;
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
