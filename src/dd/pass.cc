#include "dd/pass.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "graph/progress.h"

namespace vornak {
namespace {

// The graph that holds the source's scheduled nodes with the planned pulses before them;
// pulse i of a run is named pulse_names[i].
QuantumDAG build_padded(const QuantumDAG& source, const DdPlan& plan,
                        std::span<const std::string_view> pulse_names) {
  QuantumDAG result;
  // The result's string ids are the source's, so nodes are copied without renaming.
  for (std::uint32_t id = 0; id < source.strings().size(); ++id) {
    result.strings().intern(source.strings().text(id));
  }
  std::vector<std::uint32_t> names;
  for (std::string_view name : pulse_names) names.push_back(result.strings().intern(name));
  const Param pulse_params[] = {{result.strings().intern("amp"), 0.15},
                                {result.strings().intern("sigma"), 40.0},
                                {result.strings().intern("beta"), 0.5}};
  std::size_t pulses = 0;
  for (const DdRun& run : plan.runs) pulses += run.count;
  result.reserve(plan.scheduled + pulses, source.nodes().all_qubits().size() + pulses,
                 source.nodes().param_count() + pulses * std::size(pulse_params));
  NodeId copied = 0;
  for (const DdRun& run : plan.runs) {
    result.insert_copies(source, copied, run.before);
    copied = run.before;
    for (std::uint32_t i = 0; i < run.count; ++i) {
      result.insert_node(names[i], {&run.qubit, 1}, run.duration, pulse_params);
    }
  }
  result.insert_copies(source, copied, plan.scheduled);
  return result;
}

}  // namespace

QuantumDAG apply_dd_pass(const QuantumDAG& source, std::string_view sequence,
                         const std::unordered_map<Qubit, double>& pulse_durations,
                         std::uint64_t num_qubits) {
  write_progress_line("Starting apply_dd_pass with " + std::to_string(source.node_count()) +
                      " nodes...");
  static constexpr std::string_view kXY4[] = {"DD_X", "DD_Y", "DD_X", "DD_Y"};
  std::span<const std::string_view> pulse_names(kXY4, sequence == "XY4" ? 4 : 2);
  DdPlanOptions options;
  options.pulse_count = pulse_names.size();
  options.num_qubits = num_qubits;
  options.record_starts = false;  // the result keeps no times
  auto durations = [&](Qubit q, std::span<double> out) {
    auto it = pulse_durations.find(q);
    std::fill(out.begin(), out.end(),
              it == pulse_durations.end() ? DD_DEFAULT_PULSE_NS : it->second);
    return true;
  };
  QuantumDAG result;
  plan_dd(source, durations, options, {},
          [&](DdPlan& plan) { result = build_padded(source, plan, pulse_names); });
  write_progress_line("apply_dd_pass finished! Optimized DAG contains " +
                      std::to_string(result.node_count()) + " nodes.");
  return result;
}

}  // namespace vornak
