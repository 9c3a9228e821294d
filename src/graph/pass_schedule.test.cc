#include "graph/pass_schedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "graph/schedule.h"

namespace vornak {
namespace {

using Gates = std::vector<std::pair<std::vector<Qubit>, double>>;
using Entries = std::vector<std::pair<double, double>>;

QuantumDAG graph(const Gates& gates) {
  QuantumDAG dag;
  for (const auto& [qubits, duration] : gates) dag.insert_node("g", qubits, duration, {});
  return dag;
}

Entries entries(const QuantumDAG& dag) {
  Entries out;
  for (ScheduleEntry e : dag.schedule()) out.emplace_back(e.start_time, e.end_time);
  return out;
}

Entries scheduled(const Gates& gates, ScheduleOrder order, std::vector<double> alignments = {}) {
  QuantumDAG dag = graph(gates);
  build_pass_schedule(dag, order, alignments);
  return entries(dag);
}

// Wire 5 stands for a classical bit: the two measurements (40 long) write it, so the second
// waits for the first although their qubits differ.
const Gates kMeasured = {{{0}, 10.0}, {{0, 5}, 40.0}, {{1}, 10.0}, {{1, 5}, 40.0}};

TEST(PassSchedule, AsapMatchesBuildSchedule) {
  QuantumDAG dag = graph(kMeasured);
  build_schedule(dag);
  EXPECT_EQ(scheduled(kMeasured, ScheduleOrder::kAsap), entries(dag));
  EXPECT_EQ(entries(dag), (Entries{{0, 10}, {10, 50}, {0, 10}, {50, 90}}));
}

TEST(PassSchedule, AlapByHand) {
  // The x on qubit 1 moves up against its measurement, which waits for the bit; the other
  // nodes are on the critical path and stay put.
  EXPECT_EQ(scheduled(kMeasured, ScheduleOrder::kAlap),
            (Entries{{0, 10}, {10, 50}, {40, 50}, {50, 90}}));
  // A short gate before a long one on the other qubit of a two-qubit gate ends when it begins.
  EXPECT_EQ(scheduled({{{0}, 10.0}, {{1}, 50.0}, {{0, 1}, 30.0}, {{2}, 20.0}}, ScheduleOrder::kAlap),
            (Entries{{40, 50}, {0, 50}, {50, 80}, {60, 80}}));
}

TEST(PassSchedule, AlignmentPushesSuccessors) {
  // Node 2 would start at 15 and goes to 16; node 3 follows it to 32 although it has no grid;
  // node 4 (grid 16) would start at 40 and goes to 48. Node 5 starts at 0, on every grid.
  Gates gates = {{{0}, 10.0}, {{0}, 5.0},     {{0}, 16.0},
                 {{0, 1}, 8.0}, {{1}, 4.0}, {{2}, 7.0}};
  EXPECT_EQ(scheduled(gates, ScheduleOrder::kAsap, {0, 1, 16, 0, 16, 16}),
            (Entries{{0, 10}, {10, 15}, {16, 32}, {32, 40}, {48, 52}, {0, 7}}));
  // A node already on its grid does not move.
  EXPECT_EQ(scheduled({{{0}, 32.0}, {{0}, 8.0}}, ScheduleOrder::kAsap, {16, 16}),
            (Entries{{0, 32}, {32, 40}}));
}

TEST(PassSchedule, AlapThenAlignedMovesLaterOnly) {
  // ALAP puts node 0 at 40; its grid moves it to 48, which pushes the two-qubit gate from 50
  // to 58 and its grid to 64: the circuit grows from 80 to 94, and node 1 stays at 0.
  Gates gates = {{{0}, 10.0}, {{1}, 50.0}, {{0, 1}, 30.0}};
  EXPECT_EQ(scheduled(gates, ScheduleOrder::kAlap, {16, 16, 16}),
            (Entries{{48, 58}, {0, 50}, {64, 94}}));
}

TEST(PassSchedule, RejectsAlignmentsOfAnotherLength) {
  QuantumDAG dag = graph(kMeasured);
  std::vector<double> three{1, 1, 1};
  EXPECT_THROW(build_pass_schedule(dag, ScheduleOrder::kAsap, three), std::invalid_argument);
}

// On random circuits: ALAP keeps the ASAP length, ends every node where the next node on one
// of its wires starts (or at the end), starts no node earlier than ASAP; an aligned schedule
// puts every node on its grid after the nodes before it on its wires.
TEST(PassSchedule, RandomCircuits) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    Gates gates;
    std::vector<double> alignments;
    const int wires = 1 + static_cast<int>(rng() % 5);
    for (int i = 0, n = static_cast<int>(rng() % 30); i < n; ++i) {
      std::vector<Qubit> qubits{rng() % wires};
      if (rng() % 3 == 0) qubits.push_back((qubits[0] + 1 + rng() % wires) % (wires + 1));
      if (qubits.size() == 2 && qubits[0] == qubits[1]) qubits.pop_back();
      gates.emplace_back(qubits, static_cast<double>(rng() % 40));
      alignments.push_back(static_cast<double>(std::vector<int>{0, 1, 4, 16}[rng() % 4]));
    }
    QuantumDAG asap = graph(gates), alap = graph(gates), aligned = graph(gates);
    build_pass_schedule(asap, ScheduleOrder::kAsap);
    build_pass_schedule(alap, ScheduleOrder::kAlap);
    double length = 0.0, alap_length = 0.0;
    for (ScheduleEntry e : asap.schedule()) length = std::max(length, e.end_time);
    for (ScheduleEntry e : alap.schedule()) alap_length = std::max(alap_length, e.end_time);
    EXPECT_EQ(alap_length, length);
    for (NodeId id = 0; id < gates.size(); ++id) {
      double next = length;
      for (NodeId later = id + 1; later < gates.size(); ++later) {
        const auto& a = gates[id].first;
        const auto& b = gates[later].first;
        if (std::find_first_of(a.begin(), a.end(), b.begin(), b.end()) != a.end()) {
          next = std::min(next, alap.schedule()[later].start_time);
        }
      }
      EXPECT_EQ(alap.schedule()[id].end_time, next) << "round " << round << " node " << id;
      EXPECT_GE(alap.schedule()[id].start_time, asap.schedule()[id].start_time);
    }
    for (ScheduleOrder order : {ScheduleOrder::kAsap, ScheduleOrder::kAlap}) {
      build_pass_schedule(aligned, order, alignments);
      const auto& raw = order == ScheduleOrder::kAsap ? asap : alap;
      for (NodeId id = 0; id < gates.size(); ++id) {
        const ScheduleEntry e = aligned.schedule()[id];
        if (alignments[id] > 1) {
          EXPECT_EQ(std::fmod(e.start_time, alignments[id]), 0.0);
        }
        EXPECT_GE(e.start_time, raw.schedule()[id].start_time);
        for (NodeId before = 0; before < id; ++before) {
          const auto& a = gates[id].first;
          const auto& b = gates[before].first;
          if (std::find_first_of(a.begin(), a.end(), b.begin(), b.end()) != a.end()) {
            EXPECT_GE(e.start_time, aligned.schedule()[before].end_time);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace vornak
