#include "graph/dd_walsh.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "graph/schedule.h"

namespace vornak {
namespace {

using Couplings = std::vector<std::pair<Qubit, Qubit>>;
constexpr std::uint8_t kIdle = kDdNodeIdle;
constexpr std::uint8_t kResets = kDdNodeResets;

struct Gate {
  std::vector<Qubit> qubits;
  double duration;
};

QuantumDAG circuit(const std::vector<Gate>& gates, const Couplings& couplings = {}) {
  QuantumDAG dag;
  for (const Gate& g : gates) dag.insert_node("g", g.qubits, g.duration, {});
  dag.add_couplings(couplings);
  build_schedule(dag);
  return dag;
}

DdPulseDurations uniform(double d) {
  return [d](Qubit, std::span<double> out) {
    std::fill(out.begin(), out.end(), d);
    return true;
  };
}

DdWalshOptions walsh(std::size_t n, double spacing = DD_PULSE_SPACING_NS) {
  DdWalshOptions o;
  o.pulse_count = n;
  o.spacing = spacing;
  return o;
}

struct Pulse {
  double start;
  double duration;
  double centre() const { return start + duration / 2; }
  double end() const { return start + duration; }
};

// ∫ s_p · s_q over [lo, hi], each sign flipping at every pulse centre of its qubit and +1
// before the first; `q` empty stands for a qubit without pulses (s = +1).
double toggling_integral(const std::vector<double>& p, const std::vector<double>& q, double lo,
                         double hi) {
  std::vector<double> cuts{lo, hi};
  for (const auto* centres : {&p, &q}) {
    for (double c : *centres) {
      if (c > lo && c < hi) cuts.push_back(c);
    }
  }
  std::sort(cuts.begin(), cuts.end());
  auto sign = [](const std::vector<double>& centres, double t) {
    auto flips = std::upper_bound(centres.begin(), centres.end(), t) - centres.begin();
    return flips % 2 == 0 ? 1.0 : -1.0;
  };
  double sum = 0.0;
  for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
    const double mid = (cuts[i] + cuts[i + 1]) / 2;
    sum += sign(p, mid) * sign(q, mid) * (cuts[i + 1] - cuts[i]);
  }
  return sum;
}

struct Window {
  double start;
  double end;
  NodeId before;
};

// Everything the checks need to know about one planned circuit.
struct Checked {
  DdPlan plan;
  std::vector<DdWalshPiece> pieces;
  std::map<Qubit, std::vector<Pulse>> pulses;  // by qubit, in time order
  std::map<Qubit, std::vector<double>> centres;
};

// The idle stretches of every qubit, found from the schedule alone.
std::map<Qubit, std::vector<Window>> expected_stretches(const QuantumDAG& dag,
                                                        const DdPulseDurations& durations,
                                                        const DdWalshOptions& o,
                                                        std::span<const std::uint8_t> flags) {
  std::map<Qubit, double> free_from;
  std::map<Qubit, bool> ground;
  std::map<Qubit, std::vector<Window>> gaps;
  double circuit_end = 0.0;
  for (NodeId id = 0; id < dag.node_count(); ++id) {
    const ScheduleEntry e = dag.schedule()[id];
    circuit_end = std::max(circuit_end, e.end_time);
    if (!flags.empty() && (flags[id] & kIdle)) continue;
    for (Qubit q : dag.node(id).qubits) {
      if (!free_from.contains(q)) ground[q] = true;
      const double from = free_from.contains(q) ? free_from[q] : 0.0;
      if (!(o.skip_ground_state && ground[q])) gaps[q].push_back({from, e.start_time, id});
      free_from[q] = e.end_time;
      ground[q] = !flags.empty() && (flags[id] & kResets);
    }
  }
  if (o.trailing) {
    for (const auto& [q, from] : free_from) {
      if (!(o.skip_ground_state && ground[q])) gaps[q].push_back({from, circuit_end, dag.node_count()});
    }
  }
  std::map<Qubit, std::vector<Window>> stretches;
  std::vector<double> d(o.pulse_count);
  for (auto& [q, windows] : gaps) {
    if (!durations(q, d)) continue;
    double total = 0.0;
    for (double x : d) total += x;
    for (const Window& w : windows) {
      if (w.end > w.start && w.end - w.start >= total * DD_WINDOW_FACTOR) stretches[q].push_back(w);
    }
  }
  return stretches;
}

// Plans `dag` and checks what must hold of every plan: where the pieces lie, where the
// pulses lie, and that the toggling signs integrate to zero where they must.
Checked plan_and_check(const QuantumDAG& dag, const DdPulseDurations& durations,
                       const DdWalshOptions& o, std::span<const std::uint8_t> flags = {}) {
  Checked c;
  c.plan = plan_dd_walsh(dag, durations, o, flags, &c.pieces);
  const std::size_t n = o.pulse_count;
  const double eps = 1e-9;
  std::vector<double> d(n);

  // Runs: sorted, whole patterns, starts accounted for.
  std::size_t next = 0;
  std::map<Qubit, std::vector<std::pair<double, std::uint32_t>>> run_spans;  // first start, count
  for (std::size_t i = 0; i < c.plan.runs.size(); ++i) {
    const DdRun& r = c.plan.runs[i];
    EXPECT_EQ(r.count % n, 0u) << "run " << i;
    EXPECT_GT(r.count, 0u);
    if (i > 0) {
      const DdRun& p = c.plan.runs[i - 1];
      EXPECT_TRUE(p.before < r.before ||
                  (p.before == r.before && c.plan.starts[next - p.count] <= c.plan.starts[next]))
          << "runs out of order at " << i;
    }
    EXPECT_TRUE(durations(r.qubit, d));
    EXPECT_EQ(r.duration, d[0]);
    for (std::uint32_t k = 0; k < r.count; ++k) {
      c.pulses[r.qubit].push_back({c.plan.starts.at(next + k), d[k % n]});
    }
    run_spans[r.qubit].emplace_back(c.plan.starts.at(next), r.count);
    next += r.count;
  }
  EXPECT_EQ(next, c.plan.starts.size());

  // Pieces: each qubit's pieces tile its stretches exactly.
  const auto stretches = expected_stretches(dag, durations, o, flags);
  std::map<Qubit, std::vector<DdWalshPiece>> pieces;
  for (const DdWalshPiece& p : c.pieces) pieces[p.qubit].push_back(p);
  for (auto& [q, list] : pieces) {
    std::sort(list.begin(), list.end(), [](auto& x, auto& y) { return x.start < y.start; });
  }
  for (const auto& [q, windows] : stretches) {
    const auto& list = pieces[q];
    std::size_t k = 0;
    for (const Window& w : windows) {
      double at = w.start;
      while (k < list.size() && list[k].end <= w.end && list[k].start < w.end) {
        EXPECT_EQ(list[k].start, at) << "q" << q << " piece " << k;
        EXPECT_EQ(list[k].before, w.before) << "q" << q << " piece " << k;
        at = list[k].end;
        ++k;
      }
      EXPECT_EQ(at, w.end) << "q" << q << " stretch " << w.start << " .. " << w.end;
    }
    EXPECT_EQ(k, list.size()) << "q" << q << " has pieces outside its stretches";
  }
  for (const auto& [q, list] : pieces) {
    EXPECT_TRUE(stretches.contains(q)) << "q" << q << " has pieces but no stretch";
  }

  // Pulses: in their pieces, apart, aligned, off every node.
  for (auto& [q, list] : c.pulses) {
    std::sort(list.begin(), list.end(), [](auto& x, auto& y) { return x.start < y.start; });
    for (const Pulse& p : list) c.centres[q].push_back(p.centre());
    for (std::size_t i = 1; i < list.size(); ++i) {
      EXPECT_GE(list[i].start + eps, list[i - 1].end() + o.spacing) << "q" << q << " pulse " << i;
    }
    for (const Pulse& p : list) {
      if (o.alignment > 0.0) {
        const double units = p.start / o.alignment;
        EXPECT_NEAR(units, std::round(units), 1e-9) << "q" << q << " at " << p.start;
      }
    }
    for (const auto& [first, count] : run_spans[q]) {
      const DdWalshPiece* home = nullptr;
      for (const DdWalshPiece& piece : pieces[q]) {
        if (piece.start <= first + eps && first < piece.end) home = &piece;
      }
      if (home == nullptr) {
        ADD_FAILURE() << "q" << q << " run at " << first << " lies in no piece";
        continue;
      }
      EXPECT_EQ(home->pulses, count);
      auto in = std::find_if(list.begin(), list.end(), [&](auto& p) { return p.start == first; });
      for (std::uint32_t k = 0; k < count; ++k, ++in) {
        EXPECT_GE(in->start + eps, home->start);
        EXPECT_LE(in->end(), home->end + eps);
      }
    }
  }
  for (NodeId id = 0; id < dag.node_count(); ++id) {
    if (!flags.empty() && (flags[id] & kIdle)) continue;
    const ScheduleEntry e = dag.schedule()[id];
    for (Qubit q : dag.node(id).qubits) {
      for (const Pulse& p : c.pulses[q]) {
        EXPECT_FALSE(p.start + eps < e.end_time && e.start_time + eps < p.end())
            << "q" << q << " pulse at " << p.start << " overlaps node " << id;
      }
    }
  }

  // Physics: zero but for rounding, and the alignment, which moves each centre by less than
  // a few units.
  auto bound = [&](std::uint32_t pulses) { return 2.0 * pulses * (pulses + 2) * o.alignment + 1e-6; };
  const std::vector<double> none;
  for (const DdWalshPiece& p : c.pieces) {
    if (p.pulses == 0) continue;
    EXPECT_LE(std::abs(toggling_integral(c.centres[p.qubit], none, p.start, p.end)), bound(p.pulses))
        << "detuning: q" << p.qubit << " " << p.start << " .. " << p.end;
  }
  std::set<std::pair<Qubit, Qubit>> checked;
  dag.for_each_coupling([&](Qubit a, Qubit b) {
    if (!stretches.contains(a) || !stretches.contains(b) || !checked.insert({std::min(a, b), std::max(a, b)}).second) {
      return;
    }
    // Pieces that overlap are the same piece; over the shared time, the product integrates
    // to the time of the pieces where neither has pulses.
    for (const DdWalshPiece& x : pieces[a]) {
      for (const DdWalshPiece& y : pieces[b]) {
        if (!(x.start < y.end && y.start < x.end)) continue;
        EXPECT_EQ(x.start, y.start) << "q" << a << " and q" << b;
        EXPECT_EQ(x.end, y.end) << "q" << a << " and q" << b;
        if (x.pulses == 0 && y.pulses == 0) continue;
        EXPECT_NE(x.colour, y.colour);
        EXPECT_LE(std::abs(toggling_integral(c.centres[a], c.centres[b], x.start, x.end)),
                  bound(std::max(x.pulses, y.pulses)))
            << "ZZ: q" << a << " and q" << b << " over " << x.start << " .. " << x.end;
      }
    }
  });
  return c;
}

// ∫ s_a · s_b over the whole time both qubits are idle.
double shared_zz(const Checked& c, Qubit a, Qubit b) {
  std::map<Qubit, std::vector<DdWalshPiece>> pieces;
  double sum = 0.0;
  for (const DdWalshPiece& x : c.pieces) {
    if (x.qubit != a) continue;
    for (const DdWalshPiece& y : c.pieces) {
      if (y.qubit != b) continue;
      const double lo = std::max(x.start, y.start), hi = std::min(x.end, y.end);
      if (lo < hi) {
        auto at = [&](Qubit q) { return c.centres.contains(q) ? c.centres.at(q) : std::vector<double>{}; };
        sum += toggling_integral(at(a), at(b), lo, hi);
      }
    }
  }
  return sum;
}

TEST(DdWalshPatterns, AreBalancedMutuallyOrthogonalAndWholeSequences) {
  // The ideal signs on [0, 1): flips at every position but the closing 1.0.
  auto ideal = [](const std::vector<double>& f) {
    std::vector<double> flips = f;
    if (!flips.empty() && flips.back() == 1.0) flips.pop_back();
    return flips;
  };
  for (std::size_t n : {1, 2, 4}) {
    std::vector<std::vector<double>> patterns;
    for (std::size_t c = 0; c < 8; ++c) patterns.push_back(walsh_pattern(c, n));
    for (std::size_t i = 0; i < patterns.size(); ++i) {
      const auto& f = patterns[i];
      ASSERT_FALSE(f.empty());
      EXPECT_EQ(f.size() % n, 0u) << n << " " << i;
      EXPECT_TRUE(std::is_sorted(f.begin(), f.end()));
      EXPECT_GT(f.front(), 0.0);
      EXPECT_LE(f.back(), 1.0);
      // An even number of flips in all: the frame ends at the identity.
      EXPECT_EQ(f.size() % 2, 0u);
      EXPECT_NEAR(toggling_integral(ideal(f), {}, 0.0, 1.0), 0.0, 1e-12) << n << " " << i;
      for (std::size_t j = 0; j < i; ++j) {
        EXPECT_NEAR(toggling_integral(ideal(f), ideal(patterns[j]), 0.0, 1.0), 0.0, 1e-12)
            << n << ": colours " << j << " and " << i;
        EXPECT_GE(ideal(f).size(), ideal(patterns[j]).size()) << "lower colours change sign less";
      }
    }
  }
  // X-X: colour 0 flips in the middle and closes at the end, colour 1 flips at the quarters.
  EXPECT_EQ(walsh_pattern(0, 2), (std::vector<double>{0.5, 1.0}));
  EXPECT_EQ(walsh_pattern(1, 2), (std::vector<double>{0.25, 0.75}));
  EXPECT_TRUE(walsh_pattern(0, 0).empty());
}

TEST(DdWalshPairs, SharedIdleTimeIsRefocusedWhereTheSameSequenceIsNot) {
  // q0 and q1 both wait 0 .. 600 for q2 and q3 and then meet.
  QuantumDAG dag =
      circuit({{{2}, 600.0}, {{3}, 600.0}, {{0, 2}, 20.0}, {{1, 3}, 20.0}}, {{0, 1}, {0, 2}, {1, 3}});
  const auto durations = [](Qubit q, std::span<double> out) {
    std::fill(out.begin(), out.end(), 20.0);
    return q < 2;
  };
  Checked c = plan_and_check(dag, durations, walsh(2));
  ASSERT_EQ(c.plan.runs.size(), 2u);
  EXPECT_NEAR(shared_zz(c, 0, 1), 0.0, 1e-6);
  EXPECT_NEAR(toggling_integral(c.centres[0], {}, 0.0, 600.0), 0.0, 1e-6);
  EXPECT_NEAR(toggling_integral(c.centres[1], {}, 0.0, 600.0), 0.0, 1e-6);
  // The same spread X-X on both leaves the whole 600 of ZZ.
  DdPlanOptions same;
  same.pulse_count = 2;
  same.placement = DdPlacement::kSpread;
  DdPlan plain = plan_dd(dag, durations, same);
  ASSERT_EQ(plain.starts.size(), 4u);
  std::vector<double> p0{plain.starts[0] + 10, plain.starts[1] + 10};
  std::vector<double> p1{plain.starts[2] + 10, plain.starts[3] + 10};
  EXPECT_NEAR(toggling_integral(p0, p1, 0.0, 600.0), 600.0, 1e-9);
}

TEST(DdWalshPairs, PartlyOverlappingStretchesAreCutWhereTheOtherComesAndGoes) {
  // q0 idle 100 .. 700, q1 idle 300 .. 1000 (then a gate each), coupled; q0 idles again
  // after its gate, 720 .. 1020.
  QuantumDAG dag = circuit({{{0}, 100.0},
                            {{1}, 300.0},
                            {{2}, 700.0},
                            {{3}, 1000.0},
                            {{0, 2}, 20.0},
                            {{1, 3}, 20.0}},
                           {{0, 1}});
  Checked c = plan_and_check(dag, uniform(20.0), walsh(2));
  std::vector<std::pair<double, double>> q0, q1;
  for (const DdWalshPiece& p : c.pieces) {
    if (p.qubit > 1) continue;
    (p.qubit == 0 ? q0 : q1).emplace_back(p.start, p.end);
    // Only the pieces 700 .. 720 and 1000 .. 1020 are too short.
    EXPECT_EQ(p.pulses > 0, p.end - p.start > 20.0) << p.qubit << " " << p.start;
  }
  auto has = [](const auto& list, double a, double b) {
    return std::find(list.begin(), list.end(), std::make_pair(a, b)) != list.end();
  };
  EXPECT_TRUE(has(q0, 100, 300));
  EXPECT_TRUE(has(q0, 300, 700));
  EXPECT_TRUE(has(q1, 300, 700));
  EXPECT_TRUE(has(q1, 700, 720));
  EXPECT_TRUE(has(q1, 720, 1000));
  EXPECT_TRUE(has(q0, 720, 1000));
  EXPECT_TRUE(has(q0, 1000, 1020));
  EXPECT_NEAR(shared_zz(c, 0, 1), 0.0, 1e-6);
}

TEST(DdWalshPairs, ANeighbourGateInTheMiddleCutsTheStretch) {
  // q0 waits 0 .. 800 for q2; its neighbour q1 runs a gate 300 .. 340, then waits for q2.
  QuantumDAG dag = circuit({{{3}, 300.0}, {{2}, 800.0}, {{1, 3}, 40.0}, {{0, 2}, 20.0}, {{1, 2}, 20.0}},
                           {{0, 1}});
  const auto durations = [](Qubit q, std::span<double> out) {
    std::fill(out.begin(), out.end(), 20.0);
    return q < 2;
  };
  DdWalshOptions o = walsh(2);
  o.trailing = false;
  Checked c = plan_and_check(dag, durations, o);
  std::vector<std::pair<double, double>> q0;
  for (const DdWalshPiece& p : c.pieces) {
    if (p.qubit == 0) q0.emplace_back(p.start, p.end);
  }
  std::sort(q0.begin(), q0.end());
  EXPECT_EQ(q0, (std::vector<std::pair<double, double>>{{0, 300}, {300, 340}, {340, 800}}));
  // 300 .. 340 is too short for any pattern; the other two are refocused.
  std::size_t runs0 = std::count_if(c.plan.runs.begin(), c.plan.runs.end(),
                                    [](const DdRun& r) { return r.qubit == 0; });
  EXPECT_EQ(runs0, 2u);
  EXPECT_NEAR(toggling_integral(c.centres[0], c.centres[1], 0, 300), 0.0, 1e-6);
  EXPECT_NEAR(toggling_integral(c.centres[0], c.centres[1], 340, 800), 0.0, 1e-6);
}

TEST(DdWalshColours, AnOddCycleTakesThreeOrthogonalPatterns) {
  // A triangle and a square (bipartite) beside it, every qubit idle 0 .. 900 while its
  // partner (q + 10, no pulses) works.
  std::vector<Gate> gates;
  for (Qubit q = 0; q < 7; ++q) gates.push_back({{q + 10}, 900.0});
  for (Qubit q = 0; q < 7; ++q) gates.push_back({{q, q + 10}, 20.0});
  QuantumDAG dag = circuit(gates, {{0, 1}, {1, 2}, {2, 0}, {3, 4}, {4, 5}, {5, 6}, {6, 3}});
  const auto durations = [](Qubit q, std::span<double> out) {
    std::fill(out.begin(), out.end(), 10.0);
    return q < 10;
  };
  for (std::size_t n : {2, 4}) {
    DdWalshOptions o = walsh(n);
    o.trailing = false;
    Checked c = plan_and_check(dag, durations, o);
    std::map<Qubit, std::uint32_t> colour;
    for (const DdWalshPiece& p : c.pieces) colour[p.qubit] = p.colour;
    EXPECT_EQ((std::set<std::uint32_t>{colour[0], colour[1], colour[2]}.size()), 3u);
    EXPECT_EQ((std::set<std::uint32_t>{colour[3], colour[4], colour[5], colour[6]}.size()), 2u);
    for (auto [a, b] : Couplings{{0, 1}, {1, 2}, {2, 0}, {3, 4}, {4, 5}, {5, 6}, {6, 3}}) {
      EXPECT_FALSE(c.centres[a].empty());
      EXPECT_NEAR(shared_zz(c, a, b), 0.0, 1e-6) << n << ": q" << a << " q" << b;
    }
  }
}

TEST(DdWalshStretches, TrailingIdleTimeRunsToTheCircuitEnd) {
  // q0 finishes at 20, q1 at 620: q0 idles 20 .. 620 after its last node.
  QuantumDAG dag = circuit({{{0}, 20.0}, {{1}, 620.0}}, {{0, 1}});
  DdWalshOptions o = walsh(2);
  Checked with = plan_and_check(dag, uniform(20.0), o);
  ASSERT_FALSE(with.plan.runs.empty());
  EXPECT_EQ(with.plan.runs.back().before, dag.node_count());
  EXPECT_EQ(with.plan.runs.back().qubit, 0u);
  EXPECT_GE(with.plan.starts.front(), 20.0);
  o.trailing = false;
  Checked without = plan_and_check(dag, uniform(20.0), o);
  for (const DdRun& r : without.plan.runs) EXPECT_LT(r.before, dag.node_count());
}

TEST(DdWalshStretches, WaitsAreIdleTimeAndResetsEndPulsesWhenGroundIsSkipped) {
  // q0 and q1: gate, wait 20 .. 500 on both, gate; then q0 resets and waits again.
  QuantumDAG dag = circuit({{{0, 1}, 20.0},
                            {{0, 1}, 480.0},
                            {{0, 1}, 20.0},
                            {{0}, 20.0},
                            {{1}, 500.0},
                            {{0, 1}, 20.0}},
                           {{0, 1}});
  const std::uint8_t flags[] = {0, kIdle, 0, kResets, 0, 0};
  DdWalshOptions o = walsh(2);
  o.trailing = false;
  Checked c = plan_and_check(dag, uniform(20.0), o, flags);
  auto runs_before = [&](const Checked& x, NodeId id) {
    return std::count_if(x.plan.runs.begin(), x.plan.runs.end(),
                         [&](const DdRun& r) { return r.before == id; });
  };
  EXPECT_EQ(runs_before(c, 2), 2);  // the wait's time, on both qubits
  EXPECT_EQ(runs_before(c, 5), 1);  // q0 after the reset; q1 is busy to 1020
  o.skip_ground_state = true;
  Checked ground = plan_and_check(dag, uniform(20.0), o, flags);
  EXPECT_EQ(runs_before(ground, 2), 2);
  EXPECT_EQ(runs_before(ground, 5), 0);
}

TEST(DdWalshStretches, AQubitWithoutPulsesNeitherCutsNorColours) {
  // q1 takes no pulses: q0 and q2 (both coupled to q1 only) are not cut by its gate.
  QuantumDAG dag = circuit({{{3}, 600.0}, {{4}, 600.0}, {{1}, 250.0}, {{0, 3}, 20.0}, {{2, 4}, 20.0}},
                           {{0, 1}, {1, 2}});
  const auto durations = [](Qubit q, std::span<double> out) {
    std::fill(out.begin(), out.end(), 20.0);
    return q == 0 || q == 2;
  };
  DdWalshOptions o = walsh(2);
  o.trailing = false;
  Checked c = plan_and_check(dag, durations, o);
  for (const DdWalshPiece& p : c.pieces) {
    EXPECT_EQ(p.start, 0.0);
    EXPECT_EQ(p.end, 600.0);
    EXPECT_EQ(p.colour, 0u);
  }
  EXPECT_EQ(c.pieces.size(), 2u);
}

TEST(DdWalshFit, APatternThatDoesNotFitIsDroppedNotShortened) {
  // q0, q1 coupled, idle 0 .. 130 with pulses of 20 (X-X needs 60). Colour 0 centres its
  // pulses on 65 and ends one at 130 (35 free between them), colour 1 centres them on 32.5
  // and 97.5 (45 free). With a spacing of 50 neither fits, and nothing else goes in.
  QuantumDAG dag = circuit({{{2}, 130.0}, {{0, 2}, 20.0}, {{1, 2}, 20.0}}, {{0, 1}});
  const auto durations = [](Qubit q, std::span<double> out) {
    std::fill(out.begin(), out.end(), 20.0);
    return q < 2;
  };
  DdWalshOptions o = walsh(2, 50.0);
  o.trailing = false;
  Checked c = plan_and_check(dag, durations, o);
  EXPECT_TRUE(c.plan.runs.empty());
  EXPECT_EQ(c.plan.dropped, 2u);
  o.spacing = 10.0;
  Checked fits = plan_and_check(dag, durations, o);
  EXPECT_EQ(fits.plan.runs.size(), 2u);
  EXPECT_EQ(fits.plan.dropped, 0u);
}

// A heavy-hex-like lattice: two rows of `width` qubits joined by bridge qubits on every
// fourth column, plus each row a path.
struct Lattice {
  std::size_t qubits = 0;
  Couplings couplings;
};

Lattice heavy_hex_like(std::size_t width) {
  Lattice l;
  for (std::size_t row = 0; row < 3; ++row) {
    for (std::size_t i = 0; i + 1 < width; ++i) {
      l.couplings.emplace_back(row * width + i, row * width + i + 1);
    }
  }
  l.qubits = 3 * width;
  for (std::size_t row = 0; row < 2; ++row) {
    for (std::size_t i = (row * 2) % 4; i < width; i += 4) {
      const Qubit bridge = l.qubits++;
      l.couplings.emplace_back(row * width + i, bridge);
      l.couplings.emplace_back(bridge, (row + 1) * width + i);
    }
  }
  return l;
}

TEST(DdWalshProperty, RandomCircuitsOnAHeavyHexLattice) {
  const Lattice lattice = heavy_hex_like(9);
  std::mt19937_64 rng(20261208);
  for (int round = 0; round < 6; ++round) {
    std::vector<Gate> gates;
    std::vector<std::uint8_t> flags;
    std::uniform_int_distribution<std::size_t> pick_qubit(0, lattice.qubits - 1);
    std::uniform_int_distribution<std::size_t> pick_pair(0, lattice.couplings.size() - 1);
    std::uniform_real_distribution<double> coin(0.0, 1.0);
    for (int i = 0; i < 400; ++i) {
      const double r = coin(rng);
      if (r < 0.45) {
        gates.push_back({{pick_qubit(rng)}, 35.0 + 20.0 * std::floor(coin(rng) * 4)});
        flags.push_back(0);
      } else if (r < 0.85) {
        auto [a, b] = lattice.couplings[pick_pair(rng)];
        gates.push_back({{a, b}, 300.0 + 40.0 * std::floor(coin(rng) * 3)});
        flags.push_back(0);
      } else if (r < 0.92) {
        gates.push_back({{pick_qubit(rng)}, 100.0 + 400.0 * coin(rng)});
        flags.push_back(kIdle);
      } else if (r < 0.96) {
        gates.push_back({{pick_qubit(rng)}, 800.0});
        flags.push_back(kResets);
      } else {
        const Qubit a = pick_qubit(rng);
        gates.push_back({{a, (a + 1) % lattice.qubits, (a + 5) % lattice.qubits}, 0.0});
        flags.push_back(0);
      }
    }
    QuantumDAG dag = circuit(gates, lattice.couplings);
    const auto durations = [](Qubit q, std::span<double> out) {
      for (std::size_t k = 0; k < out.size(); ++k) out[k] = 16.0 + 8.0 * ((q + k) % 2);
      return q % 11 != 3;
    };
    DdWalshOptions o = walsh(round % 2 == 0 ? 2 : 4);
    o.alignment = round >= 2 ? 8.0 : 0.0;
    o.skip_ground_state = round % 3 == 1;
    o.trailing = round != 5;
    SCOPED_TRACE(round);
    Checked c = plan_and_check(dag, durations, o, flags);
    EXPECT_GT(c.plan.runs.size(), 20u);
  }
}

}  // namespace
}  // namespace vornak
