#include "graph/dd_walsh.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "graph/schedule.h"
#include "graph/test_circuit.h"

namespace vornak {
namespace {

using test_circuits::circuit;
using test_circuits::Couplings;
using test_circuits::Gate;
using Centres = std::vector<double>;
constexpr std::uint8_t kIdle = kDdNodeIdle;
constexpr std::uint8_t kResets = kDdNodeResets;

// Pulses of `d` on the qubits below `limit`, none on the others.
DdPulseDurations pulses_below(Qubit limit, double d = 20.0) {
  return [=](Qubit q, std::span<double> out) {
    std::fill(out.begin(), out.end(), d);
    return q < limit;
  };
}

// ∫ s_p · s_q over [lo, hi], each sign +1 before its qubit's first pulse centre and flipping
// at every centre; an empty `q` stands for a qubit without pulses.
double toggling_integral(const Centres& p, const Centres& q, double lo, double hi) {
  Centres cuts{lo, hi};
  for (const Centres* centres : {&p, &q}) {
    std::copy_if(centres->begin(), centres->end(), std::back_inserter(cuts),
                 [&](double c) { return c > lo && c < hi; });
  }
  std::sort(cuts.begin(), cuts.end());
  auto sign = [](const Centres& centres, double t) {
    return (std::upper_bound(centres.begin(), centres.end(), t) - centres.begin()) % 2 ? -1.0 : 1.0;
  };
  double sum = 0.0;
  for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
    const double mid = (cuts[i] + cuts[i + 1]) / 2;
    sum += sign(p, mid) * sign(q, mid) * (cuts[i + 1] - cuts[i]);
  }
  return sum;
}

struct Checked {
  DdPlan plan;
  std::map<Qubit, std::vector<DdWalshPiece>> pieces;  // by qubit, in time order
  std::map<Qubit, Centres> centres;                    // of the pulses, by qubit

  std::vector<std::pair<double, double>> cuts(Qubit q) {
    std::vector<std::pair<double, double>> out;
    for (const DdWalshPiece& p : pieces[q]) out.emplace_back(p.start, p.end);
    return out;
  }
};

// Each qubit's idle stretches as (start, end, before), found from the schedule alone.
std::map<Qubit, std::vector<std::tuple<double, double, NodeId>>> stretches_of(
    const QuantumDAG& dag, const DdPulseDurations& durations, const DdWalshOptions& o,
    std::span<const std::uint8_t> flags) {
  std::map<Qubit, std::pair<double, bool>> free;  // free from, in the ground state
  std::map<Qubit, std::vector<std::tuple<double, double, NodeId>>> out;
  std::vector<double> d(o.pulse_count);
  auto add = [&](Qubit q, double end, NodeId before) {
    const auto [from, ground] = free.contains(q) ? free[q] : std::pair{0.0, true};
    if (durations(q, d) && !(o.skip_ground_state && ground) && end > from &&
        end - from >= std::accumulate(d.begin(), d.end(), 0.0) * DD_WINDOW_FACTOR) {
      out[q].emplace_back(from, end, before);
    }
  };
  double circuit_end = 0.0;
  for (NodeId id = 0; id < dag.node_count(); ++id) {
    const ScheduleEntry e = dag.schedule()[id];
    circuit_end = std::max(circuit_end, e.end_time);
    if (!flags.empty() && (flags[id] & kIdle)) continue;
    for (Qubit q : dag.node(id).qubits) {
      add(q, e.start_time, id);
      free[q] = {e.end_time, !flags.empty() && (flags[id] & kResets)};
    }
  }
  for (const auto& [q, state] : free) {
    if (o.trailing) add(q, circuit_end, dag.node_count());
  }
  return out;
}

// Plans `dag` into `c`, with the pieces it cut by qubit in time order; returns the stretches
// the plan must cover, found independently from the schedule.
std::map<Qubit, std::vector<std::tuple<double, double, NodeId>>> plan_pieces(
    Checked& c, const QuantumDAG& dag, const DdPulseDurations& durations, const DdWalshOptions& o,
    std::span<const std::uint8_t> flags) {
  c = Checked{};
  std::vector<DdWalshPiece> cut;
  c.plan = plan_dd_walsh(dag, durations, o, flags, &cut);
  for (const DdWalshPiece& p : cut) c.pieces[p.qubit].push_back(p);
  for (auto& [q, list] : c.pieces) {
    std::sort(list.begin(), list.end(), [](auto& x, auto& y) { return x.start < y.start; });
  }
  return stretches_of(dag, durations, o, flags);
}

DdWalshOptions ordered(std::size_t n, bool trailing = false) {
  DdWalshOptions o;
  o.pulse_count = n;
  o.trailing = trailing;
  return o;
}

// Where `q`'s frame turns: its pulse centres and the middles of its operations.
Centres turns(const Checked& c, const QuantumDAG& dag, Qubit q,
              std::span<const std::uint8_t> flags) {
  Centres out = c.centres.contains(q) ? c.centres.at(q) : Centres{};
  for (NodeId id = 0; id < dag.node_count(); ++id) {
    const ScheduleEntry e = dag.schedule()[id];
    const auto qs = dag.node(id).qubits;
    if ((!flags.empty() && (flags[id] & kIdle)) || !(e.end_time > e.start_time) ||
        std::find(qs.begin(), qs.end(), q) == qs.end()) {
      continue;
    }
    out.push_back((e.start_time + e.end_time) / 2);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Plans `dag` in ordered parts and checks what must hold of every such plan: the parts tile
// the stretches; each run is the whole repetitions of one stretch, its pulses apart, inside
// the stretch and off every node; parts long enough for a pulse hold one; and over every
// part with pulses ∫ s = 0 and, against each coupled qubit that is busy there or of a lower
// colour (whose frame then stays put over the part), ∫ s_p·s_q = 0.
void check_ordered(Checked& c, const QuantumDAG& dag, const DdPulseDurations& durations,
                   const DdWalshOptions& o, std::span<const std::uint8_t> flags = {}) {
  const auto stretches = plan_pieces(c, dag, durations, o, flags);
  const double eps = 1e-9;
  for (const auto& [q, windows] : stretches) {
    const auto& list = c.pieces[q];
    std::size_t k = 0;
    for (const auto& [start, end, before] : windows) {
      for (double at = start; at != end; at = list[k++].end) {
        ASSERT_LT(k, list.size()) << "q" << q << " has no part at " << at;
        ASSERT_EQ(list[k].start, at) << "q" << q;
        EXPECT_EQ(list[k].before, before) << "q" << q << " at " << at;
      }
    }
    EXPECT_EQ(k, list.size()) << "q" << q << " has parts outside its stretches";
  }
  std::vector<double> d(o.pulse_count);
  const std::size_t unit = std::lcm(o.pulse_count, std::size_t{2});
  std::map<Qubit, std::vector<std::pair<double, double>>> spans;
  std::size_t next = 0;
  for (std::size_t i = 0; i < c.plan.runs.size(); ++i) {
    const DdRun& r = c.plan.runs[i];
    EXPECT_LE(i > 0 ? c.plan.runs[i - 1].before : 0, r.before);
    ASSERT_TRUE(durations(r.qubit, d));
    EXPECT_EQ(r.count % unit, 0u);
    const auto& windows = stretches.at(r.qubit);
    auto home = std::find_if(windows.begin(), windows.end(),
                             [&](auto& w) { return std::get<2>(w) == r.before; });
    ASSERT_NE(home, windows.end());
    double previous_end = spans[r.qubit].empty() ? -1e300 : spans[r.qubit].back().second;
    for (std::uint32_t k = 0; k < r.count; ++k, ++next) {
      const double t = c.plan.starts[next], dk = d[k % o.pulse_count];
      EXPECT_GE(t + eps, std::max(std::get<0>(*home), previous_end + o.spacing)) << t;
      EXPECT_LE(t + dk, std::get<1>(*home) + eps) << "q" << r.qubit << " at " << t;
      c.centres[r.qubit].push_back(t + dk / 2);
      spans[r.qubit].emplace_back(t, t + dk);
      previous_end = t + dk;
    }
  }
  EXPECT_EQ(next, c.plan.starts.size());
  for (NodeId id = 0; id < dag.node_count(); ++id) {
    if (!flags.empty() && (flags[id] & kIdle)) continue;
    const ScheduleEntry e = dag.schedule()[id];
    for (Qubit q : dag.node(id).qubits) {
      for (auto [start, end] : spans[q]) {
        EXPECT_FALSE(start + eps < e.end_time && e.start_time + eps < end)
            << "q" << q << " pulse at " << start << " overlaps node " << id;
      }
    }
  }
  auto bound = [&](std::size_t m) { return 2.0 * m * (m + 2) * o.alignment + 1e-6; };
  std::map<Qubit, std::set<Qubit>> coupled;
  dag.for_each_coupling([&](Qubit a, Qubit b) {
    if (a != b && c.pieces.contains(a) && c.pieces.contains(b)) {
      coupled[a].insert(b);
      coupled[b].insert(a);
    }
  });
  for (const auto& [q, list] : c.pieces) {
    if (!durations(q, d)) continue;
    const double longest = *std::max_element(d.begin(), d.end());
    const double room = std::max(3.0 * longest, longest + o.spacing + o.alignment);
    // Parts with room for a pulse and none: only those that gave theirs up to make the
    // stretch's total whole repetitions, fewer than one repetition (or all, when dropped).
    std::map<NodeId, std::size_t> idle_room;
    for (const DdWalshPiece& p : list) {
      if (p.pulses == 0 && p.end - p.start >= room) ++idle_room[p.before];
    }
    for (auto [before, count] : idle_room) {
      if (c.plan.dropped == 0) {
        EXPECT_LT(count, unit) << "q" << q << " before " << before;
      }
    }
    for (const DdWalshPiece& p : list) {
      const auto& own = c.centres[q];
      const std::size_t inside = std::count_if(own.begin(), own.end(), [&](double t) {
        return t > p.start && t < p.end;
      });
      EXPECT_EQ(inside, p.pulses) << "q" << q << " " << p.start;
      if (p.pulses == 0) continue;
      EXPECT_LE(std::abs(toggling_integral(own, {}, p.start, p.end)), bound(p.pulses))
          << "detuning: q" << q << " " << p.start << " .. " << p.end;
      for (Qubit other : coupled[q]) {
        const Centres frame = turns(c, dag, other, flags);
        const auto& theirs = c.centres[other];
        const bool still = std::none_of(theirs.begin(), theirs.end(), [&](double t) {
          return t > p.start && t < p.end;
        });
        const std::uint32_t colour = c.pieces[other].front().colour;
        if (!still && colour > p.colour) continue;  // its parts answer for this pair
        // Turns closer than `room` to the last cut are left to the part, each keeping at most
        // 2 room of ZZ.
        const auto turned = std::count_if(frame.begin(), frame.end(), [&](double t) {
          return t > p.start && t < p.end;
        });
        EXPECT_LE(std::abs(toggling_integral(frame, own, p.start, p.end)),
                  bound(p.pulses + 1) + 2.0 * room * static_cast<double>(turned))
            << "ZZ: q" << q << " q" << other << " over " << p.start << " .. " << p.end;
      }
    }
  }
}

TEST(DdWalshStretches, TrailingTimeWaitsAndTheGroundState) {
  // q0, q1: gate, a wait 20 .. 500, gate; q0 resets and idles 540 .. 1020 while q1 works.
  // q0 then idles to the end of q2's long gate.
  QuantumDAG dag = circuit({{{0, 1}, 20.0}, {{0, 1}, 480.0}, {{0, 1}, 20.0}, {{0}, 20.0},
                            {{1}, 500.0}, {{0, 1}, 20.0}, {{2}, 1600.0}},
                           {{0, 1}});
  const std::uint8_t flags[] = {0, kIdle, 0, kResets, 0, 0, 0};
  auto runs_before = [](const Checked& c) {
    std::map<NodeId, int> out;
    for (const DdRun& r : c.plan.runs) ++out[r.before];
    return out;
  };
  Checked c;
  check_ordered(c, dag, pulses_below(2), ordered(2, true), flags);
  // q0's wait 540 .. 1020 is one stretch, cut at 770, the middle of q1's gate.
  EXPECT_EQ(runs_before(c), (std::map<NodeId, int>{{2, 2}, {5, 1}, {7, 2}}));
  DdWalshOptions o = ordered(2);
  o.skip_ground_state = true;
  check_ordered(c, dag, pulses_below(2), o, flags);
  EXPECT_EQ(runs_before(c), (std::map<NodeId, int>{{2, 2}}));
}

TEST(DdWalshOrdered, RandomCircuitsOnAHeavyHexLattice) {
  // Three rows of nine qubits joined by bridge qubits, as on heavy-hex devices.
  Couplings lattice;
  for (Qubit row = 0; row < 3; ++row) {
    for (Qubit i = 0; i + 1 < 9; ++i) lattice.emplace_back(9 * row + i, 9 * row + i + 1);
  }
  Qubit qubits = 27;
  for (Qubit row = 0; row < 2; ++row) {
    for (Qubit i = 2 * row; i < 9; i += 4, ++qubits) {
      lattice.emplace_back(9 * row + i, qubits);
      lattice.emplace_back(qubits, 9 * (row + 1) + i);
    }
  }
  std::mt19937_64 rng(20261208);
  std::uniform_real_distribution<double> coin(0.0, 1.0);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(coin(rng) * n); };
  // Two pulse lengths, and every eleventh qubit without pulses.
  const DdPulseDurations durations = [](Qubit q, std::span<double> out) {
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = 16.0 + 8.0 * ((q + k) % 2);
    return q % 11 != 3;
  };
  for (int round = 0; round < 6; ++round) {
    std::vector<Gate> gates;
    std::vector<std::uint8_t> flags;
    for (int i = 0; i < 400; ++i) {
      const double r = coin(rng);
      const Qubit q = pick(qubits);
      if (r < 0.4) {
        gates.push_back({{q}, 35.0 + 20.0 * pick(4)});
      } else if (r < 0.8) {
        auto [a, b] = lattice[pick(lattice.size())];
        gates.push_back({{a, b}, 300.0 + 40.0 * pick(3)});
      } else if (r < 0.96) {
        gates.push_back({{q}, r < 0.9 ? 100.0 + 400.0 * coin(rng) : 800.0});
      } else {
        gates.push_back({{q, (q + 1) % qubits, (q + 5) % qubits}, 0.0});  // a barrier
      }
      flags.push_back(r >= 0.8 && r < 0.9 ? kIdle : r >= 0.9 && r < 0.96 ? kResets : 0);
    }
    DdWalshOptions o = ordered(round % 2 == 0 ? 2 : 4, round != 5);
    o.alignment = round >= 2 ? 8.0 : 0.0;
    o.skip_ground_state = round % 3 == 1;
    SCOPED_TRACE(round);
    Checked c;
    check_ordered(c, circuit(gates, lattice), durations, o, flags);
    EXPECT_GT(c.plan.runs.size(), 20u);
  }
}

TEST(DdWalshOrdered, ALowerColourSetsTheFramesItsNeighbourIsRefocusedIn) {
  // q0 and q1, coupled, wait 0 .. 600 for q2 and q3. One of them turns twice, the other is
  // cut where it turns (but for the turn h = 10 before the end, too close to it for a pulse)
  // and takes one pulse in each part: four pulses in all, and ∫ s_0·s_1 is left only over
  // the last 2h.
  QuantumDAG dag = circuit({{{2}, 600.0}, {{3}, 600.0}, {{0, 2}, 20.0}, {{1, 3}, 20.0}}, {{0, 1}});
  using Cuts = std::vector<std::pair<double, double>>;
  Checked c;
  check_ordered(c, dag, pulses_below(2), ordered(2));
  ASSERT_EQ(c.plan.starts.size(), 4u);
  const Qubit slow = c.pieces[0].front().colour == 0 ? 0 : 1;
  EXPECT_EQ(c.centres[slow], (Centres{290.0, 590.0}));
  EXPECT_EQ(c.cuts(1 - slow), (Cuts{{0, 290}, {290, 600}}));
  EXPECT_LE(std::abs(toggling_integral(c.centres[0], c.centres[1], 0, 600)), 20.0 + 1e-9);
  // In a stretch of its own, a qubit next to a busy one takes one pulse per frame of the
  // busy qubit: q0 idles 0 .. 1000 while q1 runs gates of 500, 10 and 490.
  QuantumDAG busy = circuit({{{1, 3}, 500.0}, {{1}, 10.0}, {{1, 3}, 490.0}, {{2}, 1000.0},
                             {{0, 2}, 20.0}},
                            {{0, 1}});
  check_ordered(c, busy, pulses_below(2), ordered(2));
  EXPECT_EQ(c.cuts(0), (Cuts{{0, 250}, {250, 505}, {505, 755}, {755, 1000}}));
  EXPECT_EQ(c.centres[0].size(), 4u);
  // XY4 needs four pulses: the longest parts take the extra ones.
  check_ordered(c, dag, pulses_below(2), ordered(4));
  EXPECT_EQ(c.plan.starts.size(), 8u);
}

TEST(DdWalshOrdered, AnOddCycleIsRefocusedInColourOrder) {
  // A triangle, each qubit idle 0 .. 900 while its partner q + 10 works.
  std::vector<Gate> gates;
  for (Qubit q = 0; q < 3; ++q) gates.push_back({{q + 10}, 900.0});
  for (Qubit q = 0; q < 3; ++q) gates.push_back({{q, q + 10}, 20.0});
  QuantumDAG dag = circuit(gates, {{0, 1}, {1, 2}, {2, 0}});
  Checked c;
  check_ordered(c, dag, pulses_below(10, 10.0), ordered(2));
  for (auto [a, b] : Couplings{{0, 1}, {1, 2}, {2, 0}}) {
    EXPECT_NEAR(toggling_integral(c.centres[a], c.centres[b], 0, 900), 0.0, 3 * 5.0 + 1e-9);
  }
}

}  // namespace
}  // namespace vornak
