#include "graph/schedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

namespace vornak {
namespace {

using Window = std::tuple<Qubit, double, double>;
using Windows = std::vector<Window>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr Qubit kTop = ~Qubit{0};

QuantumDAG scheduled(std::initializer_list<std::pair<std::vector<Qubit>, double>> gates,
                     std::vector<std::pair<double, double>> expected) {
  QuantumDAG dag;
  for (const auto& [qubits, duration] : gates) dag.insert_node("g", qubits, duration, {});
  EXPECT_TRUE(find_idle_windows(dag, -kInf).empty());  // nothing before the first schedule
  build_schedule(dag);
  std::vector<std::pair<double, double>> entries;
  for (ScheduleEntry e : dag.schedule()) entries.emplace_back(e.start_time, e.end_time);
  EXPECT_EQ(entries, expected);
  return dag;
}

// The qubits come in an unspecified order; the windows of one qubit come in time order.
Windows windows(const QuantumDAG& dag, double min_gap) {
  Windows out;
  for (const IdleWindow& w : find_idle_windows(dag, min_gap)) {
    out.emplace_back(w.qubit, w.gap_start, w.gap_end);
  }
  std::stable_sort(out.begin(), out.end(),
                   [](auto& x, auto& y) { return std::get<0>(x) < std::get<0>(y); });
  return out;
}

// Node 2 joins two qubits; the same circuit on dense and on sparse (huge) qubit indices.
class WorkedExample : public testing::TestWithParam<std::pair<Qubit, Qubit>> {};

TEST_P(WorkedExample, ScheduleAndWindows) {
  auto [a, b] = GetParam();
  QuantumDAG dag =
      scheduled({{{a}, 10.0}, {{b}, 50.0}, {{a, b}, 30.0}}, {{0, 10}, {0, 50}, {50, 80}});
  Windows both{{a, 10.0, 50.0}, {b, 50.0, 50.0}};
  if (b < a) std::swap(both[0], both[1]);
  EXPECT_EQ(windows(dag, 0.0), both);
  EXPECT_EQ(windows(dag, 40.0), (Windows{{a, 10.0, 50.0}}));
  EXPECT_EQ(windows(dag, 40.5), Windows{});
  EXPECT_EQ(windows(dag, kNaN), Windows{});
  dag.insert_node("late", std::vector<Qubit>{b}, 1.0, {});  // no schedule entry until rebuilt
  EXPECT_EQ(dag.node_schedule(3), std::nullopt);
  EXPECT_EQ(windows(dag, 0.0), both);
  build_schedule(dag);
  EXPECT_EQ(dag.node_schedule(3)->start_time, 80.0);
}

using QubitPair = std::pair<Qubit, Qubit>;
INSTANTIATE_TEST_SUITE_P(Indices, WorkedExample,
                         testing::Values(QubitPair{0, 1}, QubitPair{kTop, kTop - 1},
                                         QubitPair{kTop, 65535}, QubitPair{65535, 3}));

TEST(FindIdleWindows, OverlapsAndRepeatedQubitsGiveNegativeGaps) {
  QuantumDAG dag = scheduled(
      {{{0}, 10.0}, {{0}, -8.0}, {{0}, 5.0}, {{2}, kInf}, {{2}, 1.0}, {{3, 3}, 4.0}, {{3}, 1.0}},
      {{0, 10}, {10, 2}, {2, 7}, {0, kInf}, {kInf, kInf}, {0, 4}, {4, 5}});
  Windows negative{{0, 10.0, 2.0}, {0, 7.0, 10.0}, {3, 4.0, 0.0}, {3, 4.0, 4.0}};
  EXPECT_EQ(windows(dag, -10.0), negative);
  EXPECT_EQ(windows(dag, -kInf), negative);  // inf - inf is NaN: never a window
  EXPECT_EQ(windows(dag, 0.0), (Windows{{0, 7.0, 10.0}, {3, 4.0, 4.0}}));
}

}  // namespace
}  // namespace vornak
