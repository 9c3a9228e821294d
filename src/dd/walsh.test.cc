#include "dd/walsh.h"

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

// Its pulse centres and the middles of its operations for which `changes(flags, position)`.
Centres frame_times(const Checked& c, const QuantumDAG& dag, Qubit q,
                    std::span<const std::uint8_t> flags,
                    bool (*changes)(std::uint8_t, std::size_t)) {
  Centres out = c.centres.contains(q) ? c.centres.at(q) : Centres{};
  for (NodeId id = 0; id < dag.node_count(); ++id) {
    const ScheduleEntry e = dag.schedule()[id];
    const auto qs = dag.node(id).qubits;
    const auto at = std::find(qs.begin(), qs.end(), q);
    const std::uint8_t f = flags.empty() ? 0 : flags[id];
    if ((f & kIdle) || !(e.end_time > e.start_time) || at == qs.end()) continue;
    if (!changes(f, static_cast<std::size_t>(at - qs.begin()))) continue;
    out.push_back((e.start_time + e.end_time) / 2);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Where `q`'s frame turns: its pulse centres and the middles of its operations, but for those
// that commute with its Z (a diagonal gate; the control of a controlled gate).
Centres turns(const Checked& c, const QuantumDAG& dag, Qubit q,
              std::span<const std::uint8_t> flags) {
  return frame_times(c, dag, q, flags, dd_node_turns_frame);
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
      if (p.plain) {
        // The plain sequence over a stretch too short for its parts: centred at (2i + 1) / 2j
        // of it, each pulse moved only by the grid and the spacing after the one before.
        EXPECT_EQ(p.pulses, unit);
        EXPECT_LE(std::abs(toggling_integral(own, {}, p.start, p.end)),
                  bound(p.pulses) + 2.0 * unit * (o.spacing + o.alignment))
            << "detuning: q" << q << " " << p.start << " .. " << p.end;
        continue;
      }
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
      std::uint8_t f = r >= 0.8 && r < 0.9 ? kIdle : r >= 0.9 && r < 0.96 ? kResets : 0;
      // Diagonal gates (cz, rz) and controlled ones (cx) among the others.
      if (r < 0.8 && coin(rng) < 0.3) {
        f = coin(rng) < 0.5 ? kDdNodeKeepsFrame : kDdNodeKeepsFirstFrame;
      }
      flags.push_back(f);
    }
    DdWalshOptions o = ordered(round % 2 == 0 ? 2 : 4, round != 5);
    o.alignment = round >= 2 ? 8.0 : 0.0;
    o.skip_ground_state = round % 3 == 1;
    if (round >= 3) o.max_free = 150.0;
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
  // the last 2h. (Cut at the flips, not following them: DdWalshFlips.)
  QuantumDAG dag = circuit({{{2}, 600.0}, {{3}, 600.0}, {{0, 2}, 20.0}, {{1, 3}, 20.0}}, {{0, 1}});
  using Cuts = std::vector<std::pair<double, double>>;
  Checked c;
  DdWalshOptions cut = ordered(2);
  cut.shift_at_flips = false;
  check_ordered(c, dag, pulses_below(2), cut);
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
  cut.pulse_count = 4;
  check_ordered(c, dag, pulses_below(2), cut);
  EXPECT_EQ(c.plan.starts.size(), 8u);
}

TEST(DdWalshOrdered, TheSideThatGoesFirstIsTheOneThatNeedsFewerPulses) {
  // One qubit idles 0 .. 1000 and then runs a diagonal gate (its frame stays put), its
  // coupled neighbour idles 0 .. 6000; pulses of 20, at most 1000 free between them. The
  // short one first: two pulses (490, 990), which cut the long one into three parts, eight
  // pulses there: ten. The long one first: six pulses (500, 1500, ...), which cut the short
  // one once: eight. Whichever qubit comes first in the coupling graph, the plan takes eight,
  // and its parts still refocus (check_ordered). (Cut at the flips, not following them.)
  DdWalshOptions o = ordered(2);
  o.max_free = 1000.0;
  o.shift_at_flips = false;
  for (Qubit shorter : {Qubit{0}, Qubit{1}}) {
    const Qubit longer = 1 - shorter;
    QuantumDAG dag = circuit({{{2}, 1000.0}, {{shorter, 2}, 5000.0}, {{3}, 6000.0},
                              {{longer, 3}, 20.0}},
                             {{0, 1}});
    const std::vector<std::uint8_t> flags{0, kDdNodeKeepsFrame, 0, 0};
    SCOPED_TRACE(shorter);
    Checked c;
    check_ordered(c, dag, pulses_below(2), o, flags);
    EXPECT_EQ(c.plan.starts.size(), 8u);
    EXPECT_EQ(c.pieces[longer].front().colour, 0u);
    EXPECT_EQ(c.centres[longer], (Centres{500.0, 1500.0, 2500.0, 3500.0, 4500.0, 5500.0}));
    EXPECT_EQ(c.cuts(shorter), (std::vector<std::pair<double, double>>{{0, 500}, {500, 1000}}));
  }
}

TEST(DdWalshOrdered, OnlyOperationsThatTurnAFrameCutTheNeighbour) {
  // q0 idles 0 .. 1000 while q1, coupled to it, runs gates of 500 and 500 (with q2). Whether
  // q0's stretch is cut at their middles depends on what they do to q1's Z: a diagonal gate
  // (cz, rz) or the control side of a controlled gate leaves it; anything else turns it.
  using Cuts = std::vector<std::pair<double, double>>;
  QuantumDAG dag = circuit({{{1, 2}, 500.0}, {{1, 2}, 500.0}, {{0, 1}, 20.0}}, {{0, 1}});
  const Cuts cut{{0, 250}, {250, 750}, {750, 1000}};
  const Cuts whole{{0, 1000}};
  struct Case {
    std::uint8_t flags;
    Cuts expected;
  };
  for (const Case& k : {Case{0, cut}, Case{kDdNodeKeepsFrame, whole},
                        Case{kDdNodeKeepsFirstFrame, whole}}) {
    const std::vector<std::uint8_t> flags{k.flags, k.flags, 0};
    Checked c;
    check_ordered(c, dag, pulses_below(2), ordered(2), flags);
    SCOPED_TRACE(static_cast<int>(k.flags));
    EXPECT_EQ(c.cuts(0), k.expected);
    // Over every part ∫ s_0 = 0 and, against q1's frame, ∫ s_0·f_1 = 0.
    const Centres frame = turns(c, dag, 1, flags);
    for (const DdWalshPiece& p : c.pieces[0]) {
      ASSERT_GT(p.pulses, 0u);
      EXPECT_NEAR(toggling_integral(c.centres[0], {}, p.start, p.end), 0.0, 1e-6);
      EXPECT_NEAR(toggling_integral(c.centres[0], frame, p.start, p.end), 0.0, 1e-6);
    }
  }
  // The same gates with q1 second: a controlled gate's target turns, so they cut again.
  QuantumDAG target = circuit({{{2, 1}, 500.0}, {{2, 1}, 500.0}, {{0, 1}, 20.0}}, {{0, 1}});
  Checked c;
  const std::vector<std::uint8_t> controlled{kDdNodeKeepsFirstFrame, kDdNodeKeepsFirstFrame, 0};
  check_ordered(c, target, pulses_below(2), ordered(2), controlled);
  EXPECT_EQ(c.cuts(0), cut);
  // Fewer cuts, fewer pulses: two where the frame stays, four where it turns twice.
  EXPECT_EQ(c.plan.starts.size(), 4u);
  check_ordered(c, dag, pulses_below(2), ordered(2), std::vector<std::uint8_t>{4, 4, 0});
  EXPECT_EQ(c.plan.starts.size(), 2u);
}

TEST(DdWalshOrdered, AStretchTooShortForItsPartsTakesThePlainSequence) {
  // q0 idles 0 .. 100 (pulses of 20: room 60 per pulse) while q1 turns its frame at 30 and
  // 80: no cut is kept (each is closer than 60 to an end), and the one part has room for one
  // pulse but not for the second that would make it whole. The stretch fits X-X
  // (1.5 · 40 = 60): it takes the plain sequence over the whole stretch, which refocuses its
  // detuning, and is not dropped; a stretch that fits no sequence once spaced is dropped and
  // counted.
  QuantumDAG dag = circuit({{{1}, 60.0}, {{1}, 40.0}, {{0, 1}, 20.0}}, {{0, 1}});
  Checked c;
  check_ordered(c, dag, pulses_below(1), ordered(2));
  ASSERT_EQ(c.pieces[0].size(), 1u);
  EXPECT_TRUE(c.pieces[0][0].plain);
  EXPECT_EQ(c.centres[0], (Centres{25.0, 75.0}));
  EXPECT_EQ(c.plan.dropped, 0u);
  EXPECT_NEAR(toggling_integral(c.centres[0], {}, 0, 100), 0.0, 1e-9);
  // Spaced 40 apart, two pulses of 20 no longer fit in 70: dropped, and counted.
  DdWalshOptions spaced = ordered(2);
  spaced.spacing = 40.0;
  QuantumDAG short_gap = circuit({{{1}, 70.0}, {{0, 1}, 20.0}}, {{0, 1}});
  check_ordered(c, short_gap, pulses_below(1), spaced);
  EXPECT_EQ(c.plan.starts.size(), 0u);
  EXPECT_EQ(c.plan.dropped, 1u);
}

TEST(DdWalshOrdered, ABoundOnTheFreeTimeAddsPulsesToLongParts) {
  // q0 idles 0 .. 2000 beside a busy q1: one part. Unbounded, it takes X-X, the second pulse
  // closing the stretch (free time 1000 between them); bounded by 300, as many as keep the
  // free time within it, made even: ceil(2000 / 300) = 7, so 8, each 250 apart, ∫ s = 0.
  QuantumDAG dag = circuit({{{1}, 2000.0}, {{0, 1}, 20.0}});
  Checked c;
  check_ordered(c, dag, pulses_below(1), ordered(2));
  EXPECT_EQ(c.centres[0], (Centres{990.0, 1990.0}));
  DdWalshOptions bounded = ordered(2);
  bounded.max_free = 300.0;
  check_ordered(c, dag, pulses_below(1), bounded);
  ASSERT_EQ(c.centres[0].size(), 8u);
  for (std::size_t i = 0; i + 1 < c.centres[0].size(); ++i) {
    EXPECT_NEAR(c.centres[0][i + 1] - c.centres[0][i], 250.0, 1e-9);
  }
  EXPECT_NEAR(toggling_integral(c.centres[0], {}, 0, 2000), 0.0, 1e-9);
  // A bound below a pulse's room gives each part only what its room allows: 2000 / 60.
  bounded.max_free = 10.0;
  check_ordered(c, dag, pulses_below(1), bounded);
  EXPECT_EQ(c.centres[0].size(), 32u);
}

// Where `q`'s frame only flips sign, as a planner of a higher colour sees it: its pulse
// centres and the middles of its operations that flip its Z (x, y; the control of an ecr).
Centres flips_only(const Checked& c, const QuantumDAG& dag, Qubit q,
                   std::span<const std::uint8_t> flags) {
  return frame_times(c, dag, q, flags, dd_node_flips_frame);
}

TEST(DdWalshFlips, ANeighbourWhoseFrameOnlyFlipsIsFollowedNotCut) {
  // q0 idles 0 .. 1800 while q1, coupled to it, runs gates of 300, 500, 400 and 600 with q2
  // (middles 150, 550, 1000, 1500). Where they only flip q1's frame (q1 the control of an
  // ecr, or an x on both), q0 takes one pair, shifted until ∫ s_0·f_1 = 0 over the whole
  // wait; where they turn it (q1 the ecr's target), q0 is cut at each middle.
  using Cuts = std::vector<std::pair<double, double>>;
  const std::vector<Gate> control{{{1, 2}, 300.0}, {{1, 2}, 500.0}, {{1, 2}, 400.0},
                                  {{1, 2}, 600.0}, {{0, 1}, 20.0}};
  std::vector<Gate> target = control;
  for (std::size_t i = 0; i < 4; ++i) target[i].qubits = {2, 1};
  struct Case {
    const std::vector<Gate>* gates;
    std::uint8_t flags;
    bool followed;
  };
  for (const Case& k : {Case{&control, kDdNodeFlipsFirstFrame, true},
                        Case{&control, kDdNodeFlipsFrame, true},
                        Case{&target, kDdNodeFlipsFirstFrame, false},
                        Case{&control, 0, false}}) {
    SCOPED_TRACE(testing::Message() << int{k.flags} << (k.gates == &target ? " target" : ""));
    QuantumDAG dag = circuit(*k.gates, {{0, 1}});
    const std::vector<std::uint8_t> flags{k.flags, k.flags, k.flags, k.flags, 0};
    Checked c;
    check_ordered(c, dag, pulses_below(2), ordered(2), flags);
    const Centres frame = turns(c, dag, 1, flags);
    EXPECT_NEAR(toggling_integral(c.centres[0], {}, 0, 1800), 0.0, 1e-6);
    EXPECT_NEAR(toggling_integral(c.centres[0], frame, 0, 1800), 0.0, 1e-6);
    if (k.followed) {
      ASSERT_EQ(c.pieces[0].size(), 1u);
      EXPECT_TRUE(c.pieces[0][0].shifted);
      EXPECT_EQ(c.centres[0].size(), 2u);  // not 6: one per part, made even
    } else {
      EXPECT_EQ(c.cuts(0), (Cuts{{0, 150}, {150, 550}, {550, 1000}, {1000, 1500}, {1500, 1800}}));
      EXPECT_EQ(c.centres[0].size(), 6u);
    }
    // Without following, a flip is cut at as any turn.
    DdWalshOptions cut = ordered(2);
    cut.shift_at_flips = false;
    check_ordered(c, dag, pulses_below(2), cut, flags);
    EXPECT_EQ(c.centres[0].size(), 6u);
  }
}

TEST(DdWalshFlips, ALowerColoursPulsesAreFollowedToo) {
  // q0 and q1, coupled, both wait 0 .. 2000 for q2 and q3. The first colour takes a pair
  // (990, 1990: the closing pulse at the end), or 14 pulses under a bound of 150 on free
  // time; the second follows their flips, shifted to be orthogonal to them: a pair, or 16
  // pulses (14 at the first's own period would have to sit a quarter period off, closer to
  // the ends than their room), where cutting at each flip takes a pulse per part (2, or 16:
  // 15 parts made even).
  QuantumDAG dag =
      circuit({{{2}, 2000.0}, {{3}, 2000.0}, {{0, 2}, 20.0}, {{1, 3}, 20.0}}, {{0, 1}});
  struct Case {
    double bound;
    std::size_t first, followed, cut;
  };
  for (const Case& k : {Case{0.0, 2, 2, 2}, Case{150.0, 14, 16, 16}}) {
    SCOPED_TRACE(k.bound);
    DdWalshOptions o = ordered(2);
    o.max_free = k.bound;
    Checked c;
    check_ordered(c, dag, pulses_below(2), o);
    const Qubit second = c.pieces[0].front().colour == 1 ? 0 : 1;
    const Qubit first = 1 - second;
    EXPECT_EQ(c.centres[first].size(), k.first);
    EXPECT_EQ(c.centres[second].size(), k.followed);
    ASSERT_EQ(c.pieces[second].size(), 1u);
    EXPECT_TRUE(c.pieces[second][0].shifted);
    EXPECT_NEAR(toggling_integral(c.centres[second], {}, 0, 2000), 0.0, 1e-6);
    EXPECT_NEAR(toggling_integral(c.centres[second], c.centres[first], 0, 2000), 0.0, 1e-6);
    o.shift_at_flips = false;
    check_ordered(c, dag, pulses_below(2), o);
    EXPECT_EQ(c.plan.starts.size(), k.first + k.cut);
  }
}

TEST(DdWalshFlips, ANeighbourThatIdlesLaterIsNotFollowed) {
  // q0 idles 0 .. 1800 beside q1, which flips (ecr controls with q2), idles 600 .. 1200 while
  // q2 works, and flips again. Planned after q0, q1 takes pulses in that wait that q0's plan
  // cannot know, so q0 follows it only when q1 comes first; otherwise q0 is cut at q1's
  // operations, whose middles then bracket q1's wait.
  const std::vector<Gate> gates{{{1, 2}, 300.0}, {{1, 2}, 300.0}, {{2}, 600.0},
                                {{1, 2}, 300.0}, {{1, 2}, 300.0}, {{0, 1}, 20.0}};
  const std::uint8_t f = kDdNodeFlipsFirstFrame;
  const std::vector<std::uint8_t> flags{f, f, 0, f, f, 0};
  for (Qubit other : {Qubit{1}, Qubit{3}}) {  // q1, or q1 renamed q3: the colours change
    std::vector<Gate> renamed = gates;
    for (Gate& g : renamed) std::replace(g.qubits.begin(), g.qubits.end(), Qubit{1}, other);
    QuantumDAG dag = circuit(renamed, {{0, other}});
    Checked c;
    check_ordered(c, dag, pulses_below(4), ordered(2), flags);
    ASSERT_FALSE(c.pieces[other].empty());
    const bool first = c.pieces[other].front().colour < c.pieces[0].front().colour;
    for (const DdWalshPiece& p : c.pieces[0]) EXPECT_TRUE(first || !p.shifted);
    // With q1 first, q0 follows it with one pair; with q1 second, q0 is cut at 150, 450,
    // 1350 and 1650 and takes more: the two-way planning keeps q1 first.
    EXPECT_TRUE(first);
    EXPECT_EQ(c.centres[0].size(), 2u);
  }
}

TEST(DdWalshFlips, ShiftedPartsAreOrthogonalToTheFlipsTheyFollow) {
  // Random circuits on a ring of 12 with x gates and ecr-like gates among the others: every
  // shifted part has ∫ s = 0 and, against one coupled qubit whose frame flips inside it,
  // ∫ s·f = 0 up to the grid (the planner follows one neighbour; the others cut the part).
  Couplings ring;
  for (Qubit q = 0; q < 12; ++q) ring.emplace_back(q, (q + 1) % 12);
  std::mt19937_64 rng(20261209);
  std::uniform_real_distribution<double> coin(0.0, 1.0);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(coin(rng) * n); };
  std::size_t shifted = 0;
  for (int round = 0; round < 6; ++round) {
    std::vector<Gate> gates;
    std::vector<std::uint8_t> flags;
    for (int i = 0; i < 300; ++i) {
      const double r = coin(rng);
      const Qubit q = pick(12);
      if (r < 0.5) {
        gates.push_back({{q}, 40.0 + 20.0 * pick(3)});
        flags.push_back(r < 0.25 ? kDdNodeFlipsFrame : 0);  // x, or sx
      } else {
        gates.push_back({{q, (q + 1) % 12}, 300.0 + 100.0 * pick(3)});
        flags.push_back(r < 0.85 ? kDdNodeFlipsFirstFrame : kDdNodeKeepsFrame);  // ecr, cz
      }
    }
    DdWalshOptions o = ordered(round % 2 == 0 ? 2 : 4, true);
    o.alignment = round >= 2 ? 4.0 : 0.0;
    if (round >= 4) o.max_free = 400.0;
    SCOPED_TRACE(round);
    Checked c;
    QuantumDAG dag = circuit(gates, ring);
    check_ordered(c, dag, pulses_below(12, 16.0), o, flags);
    auto bound = [&](std::size_t m) { return 2.0 * m * (m + 2) * o.alignment + 1e-6; };
    for (const auto& [q, list] : c.pieces) {
      for (const DdWalshPiece& p : list) {
        if (!p.shifted) continue;
        ++shifted;
        EXPECT_EQ(p.pulses % 2, 0u);
        EXPECT_LE(std::abs(toggling_integral(c.centres[q], {}, p.start, p.end)), bound(p.pulses));
        bool answered = false;
        for (Qubit other : {(q + 11) % 12, (q + 1) % 12}) {
          const std::uint32_t colour = c.pieces[other].empty() ? 0 : c.pieces[other].front().colour;
          Centres frame = flips_only(c, dag, other, flags);
          if (colour > p.colour) {  // its pulses come later: only its operations flip
            Centres own = c.centres[other];
            std::erase_if(frame, [&](double t) { return std::binary_search(own.begin(), own.end(), t); });
          }
          const bool flips = std::any_of(frame.begin(), frame.end(),
                                         [&](double t) { return t > p.start && t < p.end; });
          answered = answered || (flips && std::abs(toggling_integral(c.centres[q], frame, p.start,
                                                                      p.end)) <= bound(p.pulses + 8));
        }
        EXPECT_TRUE(answered) << "q" << q << " " << p.start << " .. " << p.end;
      }
    }
  }
  EXPECT_GT(shifted, 30u);
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
