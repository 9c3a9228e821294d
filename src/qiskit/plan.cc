#include "qiskit/plan.h"

#include <algorithm>
#include <span>

#include "dd/walsh.h"
#include "graph/pass_schedule.h"

namespace vornak::bridge {
namespace {

// Releases the interpreter lock for as long as it lives: the bridge's one place that does,
// marked for check_lock().
class WithoutLock {
 public:
  WithoutLock() : state_(PyEval_SaveThread()) { lock_released = true; }
  ~WithoutLock() {
    lock_released = false;
    PyEval_RestoreThread(state_);
  }
  WithoutLock(const WithoutLock&) = delete;
  WithoutLock& operator=(const WithoutLock&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace

DdPlan schedule_and_plan(Reading& reading, const Inputs& in) {
  WithoutLock unlocked;
  reading.core.add_couplings(in.couplings);
  build_pass_schedule(reading.core, in.options.alap ? ScheduleOrder::kAlap : ScheduleOrder::kAsap,
                      reading.alignments);
  const std::size_t n = in.n;
  const DdPulseDurations qubit_durations = [&](Qubit q, std::span<double> out) {
    if (q >= in.nq || !in.dd_qubit[q]) return false;
    // The first block's: every block takes the same times.
    std::copy_n(in.pulse_durations.begin() + static_cast<std::ptrdiff_t>(q * in.cycle), n,
                out.begin());
    return true;
  };
  const Options& options = in.options;
  if (options.placement == Placement::kWalsh) {
    // The pulses need their own times: no crosstalk shifts here; the couplings decide where
    // each qubit's idle time is cut instead.
    DdWalshOptions walsh_options;
    walsh_options.pulse_count = n;
    walsh_options.alignment = options.alignment;
    walsh_options.spacing = options.spacing;
    walsh_options.skip_ground_state = options.skip_reset_qubits;
    walsh_options.trailing = true;
    walsh_options.max_free = options.max_free;
    if (options.has_noise) walsh_options.noise = &options.noise;
    return plan_dd_walsh(reading.core, qubit_durations, walsh_options, reading.flags);
  }
  DdPlanOptions plan_options;
  plan_options.pulse_count = n;
  plan_options.placement =
      options.placement == Placement::kSpread ? DdPlacement::kSpread : DdPlacement::kStart;
  plan_options.spacing = options.spacing;
  plan_options.alignment = options.alignment;
  plan_options.num_qubits = options.crosstalk ? in.nq : 0;
  plan_options.whole_sequences = true;
  plan_options.skip_ground_state = options.skip_reset_qubits;
  plan_options.until_node_start = true;
  plan_options.space_from_last_pulse = true;
  return plan_dd(reading.core, qubit_durations, plan_options, reading.flags);
}

}  // namespace vornak::bridge
