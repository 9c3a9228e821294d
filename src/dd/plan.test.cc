#include "dd/plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <tuple>
#include <utility>
#include <vector>

#include "graph/schedule.h"
#include "graph/test_circuit.h"

namespace vornak {
namespace {

using Starts = std::vector<double>;
// A run as (before, qubit, duration of its first pulse, the starts of its pulses).
using PulseRun = std::tuple<NodeId, Qubit, double, Starts>;
using PulseRuns = std::vector<PulseRun>;
using test_circuits::circuit;
using test_circuits::Couplings;
using test_circuits::Gate;
constexpr Qubit kTop = ~Qubit{0};
constexpr std::uint8_t kIdle = kDdNodeIdle;
constexpr std::uint8_t kResets = kDdNodeResets;

// Lets node `id` start at `start` instead, as a schedule that is not as-soon-as-possible may.
void start_at(QuantumDAG& dag, NodeId id, double start) {
  BigVector<ScheduleEntry> entries(dag.schedule().begin(), dag.schedule().end());
  entries[id] = {start, start + dag.node(id).duration_ns};
  dag.set_schedule(std::move(entries));
}

DdPulseDurations uniform(double d) {
  return [d](Qubit, std::span<double> out) {
    std::fill(out.begin(), out.end(), d);
    return true;
  };
}

DdPlanOptions options(std::size_t n, DdPlacement placement = DdPlacement::kStart) {
  DdPlanOptions o;
  o.pulse_count = n;
  o.placement = placement;
  return o;
}

// The runs of `plan`, with the starts they take one after another.
PulseRuns runs(const DdPlan& plan) {
  PulseRuns out;
  std::size_t next = 0;
  for (const DdRun& r : plan.runs) {
    const std::size_t first = next;
    next = first + r.count;
    if (next > plan.starts.size()) {
      ADD_FAILURE() << "run past the starts";
      return out;
    }
    out.emplace_back(r.before, r.qubit, r.duration,
                     Starts(plan.starts.begin() + first, plan.starts.begin() + next));
  }
  EXPECT_EQ(next, plan.starts.size());
  return out;
}

PulseRuns plan_runs(const QuantumDAG& dag, const DdPlanOptions& o,
                    const DdPulseDurations& durations = uniform(50.0),
                    std::span<const std::uint8_t> flags = {}) {
  return runs(plan_dd(dag, durations, o, flags));
}

TEST(DdPlanStart, CxWaitingForItsPartnerTakesPulsesFromTheGapStart) {
  // q0 is free at 10 and the cx waits for q1; the threshold is n * 50 * 1.5.
  struct Case {
    double partner;
    std::size_t n;
    Starts starts;
  } cases[] = {
      {160.0, 2, {10, 70}}, {159.5, 2, {}}, {310.0, 4, {10, 70, 130, 190}}, {309.0, 4, {}}};
  for (const Case& c : cases) {
    QuantumDAG dag = circuit({{{0}, 10.0}, {{1}, c.partner}, {{0, 1}, 20.0}});
    dag.insert_node("late", std::vector<Qubit>{0}, 1.0, {});  // no schedule entry
    DdPlan plan = plan_dd(dag, uniform(50.0), options(c.n));
    PulseRuns expected;
    if (!c.starts.empty()) expected.emplace_back(2, 0, 50.0, c.starts);
    EXPECT_EQ(runs(plan), expected) << c.partner;
    EXPECT_EQ(plan.scheduled, 3u);
    EXPECT_EQ(plan.dropped, 0u);
  }
}

TEST(DdPlanStart, APulseMayEndExactlyAtTheWindowLimit) {
  // Gap 30 = 2 * 10 * 1.5; the second pulse runs 30 .. 40, the cx starts at 40.
  QuantumDAG dag = circuit({{{0}, 10.0}, {{1}, 40.0}, {{0, 1}, 5.0}});
  EXPECT_EQ(plan_runs(dag, options(2), uniform(10.0)), (PulseRuns{{2, 0, 10.0, {10, 30}}}));
}

TEST(DdPlanStart, ACutSequenceKeepsWhatFitsUnlessWholeSequencesAreAsked) {
  // Gap 60 = 4 * 10 * 1.5 from 10 to 70: the fourth pulse would end at 80.
  QuantumDAG dag = circuit({{{0}, 10.0}, {{1}, 70.0}, {{0, 1}, 5.0}});
  DdPlanOptions o = options(4);
  DdPlan partial = plan_dd(dag, uniform(10.0), o);
  EXPECT_EQ(runs(partial), (PulseRuns{{2, 0, 10.0, {10, 30, 50}}}));
  EXPECT_EQ(partial.dropped, 0u);
  o.whole_sequences = true;
  DdPlan whole = plan_dd(dag, uniform(10.0), o);
  EXPECT_EQ(runs(whole), PulseRuns{});
  EXPECT_EQ(whole.dropped, 1u);
}

TEST(DdPlanStart, ADroppedSequenceIsInvisibleToTheCrosstalkCheck) {
  // q0's gap 10 .. 22 meets 2 * 4 * 1.5 but holds one pulse only (the second would start
  // at 24). q1, coupled to q0 and planned later, starts at 8 unless q0's pulse 10 .. 14
  // is still there.
  QuantumDAG dag = circuit({{{0}, 10.0},
                            {{1}, 8.0},
                            {{2}, 22.0},
                            {{0, 2}, 1.0},
                            {{3}, 100.0},
                            {{1, 3}, 1.0}},
                           {{0, 1}});
  DdPlanOptions o = options(2);
  o.num_qubits = 4;
  DdPlan kept = plan_dd(dag, uniform(4.0), o);
  EXPECT_EQ(runs(kept), (PulseRuns{{3, 0, 4.0, {10}}, {5, 1, 4.0, {24, 38}}}));
  EXPECT_EQ(kept.dropped, 0u);
  o.whole_sequences = true;
  DdPlan whole = plan_dd(dag, uniform(4.0), o);
  EXPECT_EQ(runs(whole), (PulseRuns{{5, 1, 4.0, {8, 22}}}));
  EXPECT_EQ(whole.dropped, 1u);
}

TEST(DdPlanStart, AlignmentRoundsEveryStartUp) {
  // Gap 10 .. 160. With 48 the second pulse would start at 144 and end past 160.
  QuantumDAG dag = circuit({{{0}, 10.0}, {{1}, 160.0}, {{0, 1}, 20.0}});
  std::pair<double, Starts> cases[] = {{5.0, {10, 70}}, {16.0, {16, 80}}, {48.0, {48}}};
  for (const auto& [alignment, starts] : cases) {
    DdPlanOptions o = options(2);
    o.alignment = alignment;
    EXPECT_EQ(plan_runs(dag, o), (PulseRuns{{2, 0, 50.0, starts}})) << alignment;
  }
}

// Window limits on schedules that start a node later, or earlier, than its qubits are
// free, so that the limit differs from the node start. Pulses of 50 with 100 between
// them run L .. L + 50 and L + 150 .. L + 200: a limit below L + 200 keeps only the first.
DdPlanOptions sparse_pulses() {
  DdPlanOptions o = options(2);
  o.spacing = 100.0;
  return o;
}

TEST(DdPlanWindowLimit, ARepeatedQubitCountsWithTheStartOnceVisited) {
  QuantumDAG dag = circuit({{{0}, 10.0},
                            {{1}, 100.0},
                            {{0, 1, 0}, 20.0},  // starts at 400: both qubits are free earlier
                            {{2}, 10.0},
                            {{2}, 590.0},  // a wait: q2 is busy until 600
                            {{3}, 230.0},
                            {{2, 3, 2}, 20.0}});  // starts at 400, during the wait
  start_at(dag, 2, 400.0);
  start_at(dag, 6, 400.0);
  const std::uint8_t flags[] = {0, 0, 0, 0, kIdle, 0, 0};
  // Node 2: q0 reads the busy times 10 and 100 (limit 100), q1 reads 400 for q0 (limit
  // 400). Node 6: q2 reads 600, q3 reads 400 for q2, not the 600 of its repeat.
  EXPECT_EQ(plan_runs(dag, sparse_pulses(), uniform(50.0), flags),
            (PulseRuns{{2, 0, 50.0, {10}},
                       {2, 1, 50.0, {100, 250}},
                       {6, 2, 50.0, {10, 160}},
                       {6, 3, 50.0, {230}}}));
}

TEST(DdPlanWindowLimit, UntilNodeStartFillsTheGapUpToTheNode) {
  // The cx starts at 400 although both its qubits are free at 100 (as in an ALAP schedule,
  // or one moved onto a grid): the window limit stops q0's pulses at 100 (q1, visited second,
  // reads 400 for q0), the node's start at 400.
  QuantumDAG dag = circuit({{{0}, 10.0}, {{1}, 100.0}, {{0, 1}, 20.0}});
  start_at(dag, 2, 400.0);
  DdPlanOptions o = options(2, DdPlacement::kSpread);
  o.whole_sequences = true;
  EXPECT_EQ(plan_runs(dag, o), (PulseRuns{{2, 1, 50.0, {150, 300}}}));
  o.until_node_start = true;
  // Spread: q0's free time 390 - 100 cut 72.5, 145, 72.5 around the pulses from 10; q1's
  // 300 - 100 cut 50, 100, 50 from 100.
  EXPECT_EQ(plan_runs(dag, o),
            (PulseRuns{{2, 0, 50.0, {82.5, 277.5}}, {2, 1, 50.0, {150, 300}}}));
}

TEST(DdPlanWindowLimit, AWideNodeMatchesTheRuleAtEveryVisit) {
  // Qubits 0 .. 999 and 500 again, starting at 1000 while q500 waits until 1200. Only
  // q0, q400 and q600 take pulses, each free from 850.
  std::vector<Qubit> wide(1000);
  std::iota(wide.begin(), wide.end(), Qubit{0});
  wide.push_back(500);
  QuantumDAG dag = circuit(
      {{{0}, 850.0}, {{400}, 850.0}, {{600}, 850.0}, {{500}, 10.0}, {{500}, 1190.0}, {wide, 30.0}});
  start_at(dag, 5, 1000.0);
  const std::uint8_t flags[] = {0, 0, 0, 0, kIdle, 0};
  auto some = [](Qubit q, std::span<double> out) {
    std::fill(out.begin(), out.end(), 50.0);
    return q == 0 || q == 400 || q == 600;
  };
  // q0 and q400 see q500 busy until 1200; by q600's visit q500 has been visited and
  // counts with 1000, so its second pulse (1000 .. 1050) is cut.
  EXPECT_EQ(plan_runs(dag, sparse_pulses(), some, flags),
            (PulseRuns{{5, 0, 50.0, {850, 1000}},
                       {5, 400, 50.0, {850, 1000}},
                       {5, 600, 50.0, {850}}}));
}

TEST(DdPlanSpread, FreeTimeIsSplitHalfWholeHalf) {
  // Gap 10 .. 210. n = 2: free 100 as 25, 50, 25. n = 4: free 120 as 15, 30, 30, 30, 15.
  QuantumDAG dag = circuit({{{0}, 10.0}, {{1}, 210.0}, {{0, 1}, 10.0}});
  EXPECT_EQ(plan_runs(dag, options(2, DdPlacement::kSpread)), (PulseRuns{{2, 0, 50.0, {35, 135}}}));
  EXPECT_EQ(plan_runs(dag, options(4, DdPlacement::kSpread), uniform(20.0)),
            (PulseRuns{{2, 0, 20.0, {25, 75, 125, 175}}}));
}

TEST(DdPlanSpread, AlignedFreeTimeIsFlooredAndTheRestGoesToTheMiddle) {
  // Gap 0 .. 205, pulses of 16, alignment 8.
  // n = 4: free 141 as 16, 32, 32, 32, 16 (128); of the 13 left 8 go to the middle.
  // n = 2: free 173 as 40, 80, 40 (160); again 8 of 13 go to the middle.
  QuantumDAG dag = circuit({{{1}, 205.0}, {{0, 1}, 10.0}});
  DdPlanOptions o = options(4, DdPlacement::kSpread);
  o.alignment = 8.0;
  EXPECT_EQ(plan_runs(dag, o, uniform(16.0)), (PulseRuns{{1, 0, 16.0, {16, 64, 120, 168}}}));
  o.pulse_count = 2;
  EXPECT_EQ(plan_runs(dag, o, uniform(16.0)), (PulseRuns{{1, 0, 16.0, {40, 144}}}));
}

TEST(DdPlanSpread, CrosstalkShiftsAPulseAndLaterOnesKeepTheirOrder) {
  // Two independent pairs: partners q1 and q5 take pulses of 20 first, then q0 and q4
  // spread pulses of 50 over 0 .. 300 (positions 50 and 200).
  // q1: gap 50 .. 130 -> 60, 100. q0: 50 -> 90 -> 130, then its own position 200.
  // q5: gap 50 .. 170 -> 70, 130. q4: 50 -> 100 -> 160, then 160 + 60 = 220 > 200.
  QuantumDAG dag = circuit({{{1}, 50.0},
                            {{2}, 130.0},
                            {{1, 2}, 10.0},
                            {{3}, 300.0},
                            {{0, 3}, 10.0},
                            {{5}, 50.0},
                            {{6}, 170.0},
                            {{5, 6}, 10.0},
                            {{7}, 300.0},
                            {{4, 7}, 10.0}},
                           {{0, 1}, {4, 5}});
  auto durations = [](Qubit q, std::span<double> out) {
    std::fill(out.begin(), out.end(), q == 1 || q == 5 ? 20.0 : 50.0);
    return true;
  };
  DdPlanOptions o = options(2, DdPlacement::kSpread);
  PulseRuns partners{{2, 1, 20.0, {60, 100}}, {7, 5, 20.0, {70, 130}}};
  EXPECT_EQ(plan_runs(dag, o, durations),
            (PulseRuns{partners[0], {4, 0, 50.0, {50, 200}},  //
                       partners[1], {9, 4, 50.0, {50, 200}}}));
  o.num_qubits = 8;
  EXPECT_EQ(plan_runs(dag, o, durations),
            (PulseRuns{partners[0], {4, 0, 50.0, {130, 200}},  //
                       partners[1], {9, 4, 50.0, {160, 220}}}));
}

TEST(DdPlanSpread, NoPulseStartsBeforeItsGap) {
  // A node that starts at 400 while its qubits are free from 10 (q0) and 100 (q1), as
  // an as-late-as-possible schedule may give. q0's window runs 10 .. 100, too short for
  // the two pulses of 50 to be spread with free time around them; q1's runs 100 .. 400.
  QuantumDAG dag = circuit({{{0}, 10.0}, {{1}, 100.0}, {{0, 1}, 20.0}});
  start_at(dag, 2, 400.0);
  PulseRuns got = plan_runs(dag, options(2, DdPlacement::kSpread));
  // q1: free 200 as 50, 100, 50.
  EXPECT_EQ(std::count(got.begin(), got.end(), PulseRun(2, 1, 50.0, {150, 300})), 1);
  for (const auto& [before, qubit, duration, starts] : got) {
    const double gap_start = qubit == 0 ? 10.0 : 100.0;
    const double limit = qubit == 0 ? 100.0 : 400.0;
    for (double t : starts) {
      EXPECT_GE(t, gap_start) << "q" << qubit;
      EXPECT_LE(t + duration, limit) << "q" << qubit;
    }
  }
}

TEST(DdPlanSpacing, TheFirstPulseOfAGapKeepsSpacingAfterTheLastPulseAcrossABarrier) {
  // q0 has two gaps of 60 (10 .. 70, 70 .. 130) split only by a zero-length node; one pulse
  // of 40 each, spacing 30. Without the option the second gap's pulse starts 20 after the
  // first one ends; with it the second gap counts from that end plus 30.
  QuantumDAG dag = circuit(
      {{{0}, 10.0}, {{1}, 70.0}, {{0, 1}, 0.0}, {{1}, 60.0}, {{0, 1}, 5.0}});
  struct Case {
    DdPlacement placement;
    Starts without, with;
  } cases[] = {{DdPlacement::kStart, {10, 70}, {10, 80}},
               {DdPlacement::kSpread, {20, 80}, {20, 90}}};
  for (const Case& c : cases) {
    DdPlanOptions o = options(1, c.placement);
    o.spacing = 30.0;
    o.whole_sequences = true;
    PulseRuns before = plan_runs(dag, o, uniform(40.0));
    EXPECT_EQ(before, (PulseRuns{{2, 0, 40.0, {c.without[0]}}, {4, 0, 40.0, {c.without[1]}}}));
    o.space_from_last_pulse = true;
    PulseRuns after = plan_runs(dag, o, uniform(40.0));
    EXPECT_EQ(after, (PulseRuns{{2, 0, 40.0, {c.with[0]}}, {4, 0, 40.0, {c.with[1]}}}));
  }
  // A second gap too short once the spacing is kept loses its sequence whole.
  DdPlanOptions o = options(1, DdPlacement::kStart);
  o.spacing = 41.0;  // the second pulse would run 91 .. 131, past the cx at 130
  o.whole_sequences = true;
  o.space_from_last_pulse = true;
  DdPlan plan = plan_dd(dag, uniform(40.0), o);
  EXPECT_EQ(runs(plan), (PulseRuns{{2, 0, 40.0, {10}}}));
  EXPECT_EQ(plan.dropped, 1u);
}

TEST(DdPlanDurations, UnequalDurationsAddUpForTheThreshold) {
  // Pulses of 20 and 40 need a gap of 90: q0 has 90 (10 .. 100), q1 has 89.
  QuantumDAG dag = circuit(
      {{{0}, 10.0}, {{2}, 100.0}, {{0, 2}, 1.0}, {{1}, 10.0}, {{3}, 99.0}, {{1, 3}, 1.0}});
  auto durations = [](Qubit, std::span<double> out) {
    out[0] = 20.0;
    out[1] = 40.0;
    return true;
  };
  EXPECT_EQ(plan_runs(dag, options(2), durations), (PulseRuns{{2, 0, 20.0, {10, 40}}}));
  // Spread: free 30 as 7.5, 15, 7.5.
  EXPECT_EQ(plan_runs(dag, options(2, DdPlacement::kSpread), durations),
            (PulseRuns{{2, 0, 20.0, {17.5, 52.5}}}));
}

TEST(DdPlanDurations, EqualDurationsGiveTheThresholdAsNTimesD) {
  // 10 * 0.1 is 1.0, a sum of ten 0.1 is below it: a gap just below 1.5 is too short.
  double sum = 0.0;
  for (int i = 0; i < 10; ++i) sum += 0.1;
  const double below = std::nextafter(1.5, 0.0);
  ASSERT_LE(sum * DD_WINDOW_FACTOR, below);
  DdPlanOptions o = options(10);
  o.spacing = 0.0;
  for (double gap : {below, 1.5}) {
    DdPlan plan = plan_dd(circuit({{{1}, gap}, {{0, 1}, 1.0}}), uniform(0.1), o);
    EXPECT_EQ(plan.starts.size(), gap < 1.5 ? 0u : 10u) << gap;
  }
}

TEST(DdPlanDurations, AQubitWithoutPulsesGetsNone) {
  // Indices this far apart give the qubits hashed slots; q5 takes no pulses.
  const Qubit far = Qubit{1} << 40;
  QuantumDAG dag = circuit(
      {{{kTop}, 10.0}, {{5}, 10.0}, {{far}, 160.0}, {{kTop, far}, 10.0}, {{5, far}, 10.0}});
  auto durations = [](Qubit q, std::span<double> out) {
    std::fill(out.begin(), out.end(), q == 5 ? 1.0 : 50.0);
    return q != 5;
  };
  EXPECT_EQ(plan_runs(dag, options(2), durations), (PulseRuns{{3, kTop, 50.0, {10, 70}}}));
}

TEST(DdPlanGroundState, SkipsTheFirstGapAndTheGapAfterAReset) {
  // q0 meets q1 at 200, 410, 620 and 830 after gaps of 200; node 3 resets both.
  QuantumDAG dag = circuit({{{1}, 200.0},
                            {{0, 1}, 10.0},
                            {{1}, 200.0},
                            {{0, 1}, 10.0},
                            {{1}, 200.0},
                            {{0, 1}, 10.0},
                            {{1}, 200.0},
                            {{0, 1}, 10.0}});
  const std::uint8_t flags[] = {0, 0, 0, kResets, 0, 0, 0, 0};
  DdPlanOptions o = options(2);
  PulseRuns all{{1, 0, 50.0, {0, 60}},
                {3, 0, 50.0, {210, 270}},
                {5, 0, 50.0, {420, 480}},
                {7, 0, 50.0, {630, 690}}};
  EXPECT_EQ(plan_runs(dag, o, uniform(50.0), flags), all);
  o.skip_ground_state = true;
  EXPECT_EQ(plan_runs(dag, o, uniform(50.0), flags), (PulseRuns{all[1], all[3]}));
}

TEST(DdPlanIdle, AWaitIsPartOfTheGapAndKeepsItsQubitsBusy) {
  // q0: wait 0 .. 200, x, wait 210 .. 400, x, resetting x, wait 420 .. 620, x. Each x
  // closes a gap from the last x (or 0.0) that ends at its own start.
  QuantumDAG dag = circuit({{{0}, 200.0},
                            {{0}, 10.0},
                            {{0}, 190.0},
                            {{0}, 10.0},
                            {{0}, 10.0},
                            {{0}, 200.0},
                            {{0}, 10.0}});
  const std::uint8_t flags[] = {kIdle, 0, kIdle, 0, kResets, kIdle, 0};
  DdPlanOptions o = options(2);
  EXPECT_EQ(plan_runs(dag, o, uniform(50.0), flags),
            (PulseRuns{{1, 0, 50.0, {0, 60}}, {3, 0, 50.0, {210, 270}}, {6, 0, 50.0, {420, 480}}}));
  // A wait does not end the ground state.
  o.skip_ground_state = true;
  EXPECT_EQ(plan_runs(dag, o, uniform(50.0), flags), (PulseRuns{{3, 0, 50.0, {210, 270}}}));
  // Spread reaches the next start: 0 .. 200 splits 25, 50, 25; 210 .. 400 splits
  // 22.5, 45, 22.5.
  EXPECT_EQ(plan_runs(dag, options(2, DdPlacement::kSpread), uniform(50.0), flags),
            (PulseRuns{{1, 0, 50.0, {25, 125}},
                       {3, 0, 50.0, {232.5, 327.5}},
                       {6, 0, 50.0, {445, 545}}}));
  // Without the flags the waits are gates and leave no gap.
  EXPECT_EQ(plan_runs(dag, options(2)), PulseRuns{});
}

TEST(DdPlanIdle, AWaitAfterAGapTakesNoPulsesItself) {
  // q0 is free at 10; a wait on q0 and q1 runs 300 .. 350, then x on q0: the gap runs
  // 10 .. 350 and its pulses go before the x.
  QuantumDAG dag = circuit({{{0}, 10.0}, {{1}, 300.0}, {{0, 1}, 50.0}, {{0}, 10.0}});
  const std::uint8_t flags[] = {0, 0, kIdle, 0};
  EXPECT_EQ(plan_runs(dag, options(2), uniform(50.0), flags), (PulseRuns{{3, 0, 50.0, {10, 70}}}));
}

TEST(DdPlanCrosstalk, OnlyPartnersBelowNumQubitsAreChecked) {
  // q5's pulses run 50 .. 100 and 110 .. 160. q9, coupled to q5, is free from 0 until
  // `window`: its first pulse ends where q5's begins (no overlap), its second moves past
  // both of q5's, and must still end by the window.
  struct Case {
    std::uint64_t num_qubits;
    double alignment;
    double window;
    Starts starts;
  } cases[] = {
      {0, 0.0, 300.0, {0, 60}},   {5, 0.0, 300.0, {0, 60}}, {6, 0.0, 300.0, {0, 170}},
      {10, 0.0, 220.0, {0, 170}}, {6, 0.0, 219.0, {0}},
      {6, 16.0, 300.0, {0, 192}},  // q5 then has 64 .. 114 and 128 .. 178
  };
  for (const Case& c : cases) {
    QuantumDAG dag = circuit(
        {{{5}, 50.0}, {{6}, 200.0}, {{5, 6}, 10.0}, {{8}, c.window}, {{9, 8}, 10.0}}, {{5, 9}});
    DdPlanOptions o = options(2);
    o.num_qubits = c.num_qubits;
    o.alignment = c.alignment;
    PulseRuns got = plan_runs(dag, o);
    ASSERT_EQ(got.size(), 2u) << c.num_qubits;
    EXPECT_EQ(got[1], PulseRun(4, 9, 50.0, c.starts))
        << c.num_qubits << " " << c.alignment << " " << c.window;
    if (c.alignment == 0.0) {
      EXPECT_EQ(got[0], PulseRun(2, 5, 50.0, {50, 110}));
    }
  }
}

}  // namespace
}  // namespace vornak
