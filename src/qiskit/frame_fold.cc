#include "qiskit/frame_fold.h"

#include <cstddef>

namespace vornak::bridge {
namespace {

// Whether `node` is an rz whose angle is a real number, without a label.
bool real_rz(const Source& source, std::uint32_t node) {
  if (source.kind(node) != QkOperationKind_Gate || source.label_slot(node) >= 0) return false;
  QkCircuitInstructionView view;
  source.view(node, &view);
  return source.gate(node, view) == QkGate_RZ && view.num_params == 1 &&
         qk_param_kind(view.params) == QkParamKind_Real;
}

}  // namespace

std::vector<std::uint32_t> frame_folds(const Source& source, const Reading& reading,
                                       const DdPlan& plan, const Inputs& in,
                                       const std::vector<double>& frames) {
  std::vector<std::uint32_t> folds(plan.runs.size(), kNoFold);
  // Where a pulse is no standard gate its frame is not known here: the Python writer, which
  // writes such sequences, looks at each run's frame itself.
  bool any = !in.pulses_native;
  for (std::size_t r = 0; r < plan.runs.size() && !any; ++r) {
    any = closing_frame(in, plan.runs[r].count, run_turn(frames, r)) != 0.0;
  }
  if (!any) return folds;
  // Backwards through the writer's order (at each position its runs, then its operation;
  // input delays are not written): by qubit, the position of the operation written next,
  // or kNoFold where a run or nothing comes next.
  const std::size_t ops = reading.order.size();
  std::vector<std::uint32_t> next(in.nq, kNoFold);
  std::size_t r = plan.runs.size();
  for (std::size_t i = ops + 1; i-- > 0;) {
    if (i < ops && !(reading.flags[i] & kDdNodeIdle)) {
      for (Qubit q : reading.core.node(static_cast<NodeId>(i)).qubits) {
        if (q < in.nq) next[q] = static_cast<std::uint32_t>(i);
      }
    }
    for (; r > 0 && plan.runs[r - 1].before == i; --r) {
      const DdRun& run = plan.runs[r - 1];
      const std::uint32_t q = static_cast<std::uint32_t>(run.qubit);
      const std::uint32_t j = next[q];
      if (j != kNoFold &&
          (!in.pulses_native || closing_frame(in, run.count, run_turn(frames, r - 1)) != 0.0) &&
          real_rz(source, reading.order[j])) {
        folds[r - 1] = j;
      }
      next[q] = kNoFold;
    }
  }
  return folds;
}

}  // namespace vornak::bridge
