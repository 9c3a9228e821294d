// Times the Walsh planner (plan_dd_walsh) against the X-X planner the Qiskit pass calls
// (plan_dd, spread, whole sequences) on a layered heavy-hex circuit of 127 qubits built like
// bench/workloads.py's (same lattice and layer rules, its own random numbers). Not a test.
//
//   nice cmake --build build/dev --target vornak_dd
//   c++ -O2 -std=c++20 -Isrc bench/dd_walsh_timing.cc build/dev/libvornak_dd.a build/dev/libvornak_graph.a -o t
//   ./t [gates]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string_view>
#include <utility>
#include <vector>

#include "dd/plan.h"
#include "dd/walsh.h"
#include "graph/schedule.h"

namespace {

using namespace vornak;

std::vector<std::pair<Qubit, Qubit>> heavy_hex() {
  constexpr int kRowWidth = 15, kRows = 7;
  std::vector<std::pair<Qubit, Qubit>> edges;
  Qubit next = 0;
  std::map<int, Qubit> above;
  for (int r = 0; r < kRows; ++r) {
    std::vector<int> columns;
    for (int c = r == kRows - 1 ? 1 : 0; c < (r == 0 ? kRowWidth - 1 : kRowWidth); ++c) {
      columns.push_back(c);
    }
    std::map<int, Qubit> bridges;
    if (!above.empty()) {
      for (int c : r % 2 == 1 ? std::vector<int>{0, 4, 8, 12} : std::vector<int>{2, 6, 10, 14}) {
        bridges[c] = next++;
      }
    }
    std::map<int, Qubit> row;
    for (int c : columns) row[c] = next++;
    for (int c : columns) {
      if (row.contains(c + 1)) edges.emplace_back(row[c], row[c + 1]);
    }
    for (auto [c, bridge] : bridges) {
      edges.emplace_back(above[c], bridge);
      edges.emplace_back(bridge, row[c]);
    }
    above = row;
  }
  return edges;
}

QuantumDAG layered(std::size_t gates, unsigned seed) {
  const auto edges = heavy_hex();
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> coin(0.0, 1.0);
  std::map<std::pair<Qubit, Qubit>, double> pair_duration;
  for (auto e : edges) pair_duration[e] = 400.0 + 20.0 * static_cast<double>(rng() % 21);
  QuantumDAG dag;
  dag.add_couplings(edges);
  std::size_t layer = 0;
  while (dag.node_count() < gates) {
    if (layer % 2 == 0) {
      for (Qubit q = 0; q < 127 && dag.node_count() < gates; ++q) {
        if (coin(rng) < 2.0 / 3) {
          const Qubit one[] = {q};
          dag.insert_node(rng() % 3 == 2 ? "rz" : "sx", one, rng() % 3 == 2 ? 0.0 : 35.0, {});
        }
      }
    } else {
      auto shuffled = edges;
      std::shuffle(shuffled.begin(), shuffled.end(), rng);
      std::vector<bool> busy(127, false);
      for (auto [a, b] : shuffled) {
        if (busy[a] || busy[b] || coin(rng) < 0.3 || dag.node_count() >= gates) continue;
        busy[a] = busy[b] = true;
        const Qubit two[] = {a, b};
        dag.insert_node("ecr", two, pair_duration[{a, b}], {});
      }
    }
    ++layer;
  }
  build_schedule(dag);
  return dag;
}

template <typename F>
double best_ms(F&& f, int repeats) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t gates = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  QuantumDAG dag = layered(gates, 1);
  const DdPulseDurations durations = [](Qubit q, std::span<double> out) {
    std::fill(out.begin(), out.end(), 35.0);
    return q < 127;
  };
  DdPlanOptions xx;
  xx.pulse_count = 2;
  xx.placement = DdPlacement::kSpread;
  xx.whole_sequences = true;
  DdWalshOptions walsh;
  walsh.pulse_count = 2;
  std::size_t xx_runs = 0, walsh_runs = 0, walsh_dropped = 0, pieces = 0;
  // `./t GATES walsh` and `./t GATES xx` run one planner 20 times, for `perf stat`.
  if (argc > 2) {
    const bool only_walsh = std::string_view(argv[2]) == "walsh";
    for (int i = 0; i < 20; ++i) {
      if (only_walsh) {
        walsh_runs += plan_dd_walsh(dag, durations, walsh).runs.size();
      } else {
        xx_runs += plan_dd(dag, durations, xx).runs.size();
      }
    }
    std::printf("%zu runs\n", walsh_runs + xx_runs);
    return 0;
  }
  const double schedule_ms = best_ms([&] { build_schedule(dag); }, 7);
  const double xx_ms = best_ms([&] { xx_runs = plan_dd(dag, durations, xx).runs.size(); }, 7);
  const double walsh_ms = best_ms(
      [&] {
        DdPlan plan = plan_dd_walsh(dag, durations, walsh);
        walsh_runs = plan.runs.size();
        walsh_dropped = plan.dropped;
      },
      7);
  std::vector<DdWalshPiece> cut;
  plan_dd_walsh(dag, durations, walsh, {}, &cut);
  pieces = cut.size();
  std::printf("%zu gates: build_schedule %.2f ms, plan_dd %.2f ms (%zu runs), "
              "plan_dd_walsh %.2f ms (%zu runs, %zu pieces, %zu dropped)\n",
              gates, schedule_ms, xx_ms, xx_runs, walsh_ms, walsh_runs, pieces, walsh_dropped);
}
