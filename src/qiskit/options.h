#ifndef VORNAK_QISKIT_OPTIONS_H
#define VORNAK_QISKIT_OPTIONS_H

#include "qiskit/capi.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "dd/walsh.h"
#include "graph/dag.h"

namespace vornak::bridge {

enum class Placement : int { kStart = 0, kSpread = 1, kWalsh = 2 };

struct Options {
  Placement placement;
  double alignment;          // pulse alignment: starts of gates and pulses
  double acquire_alignment;  // starts of measurements and resets
  double spacing;
  bool crosstalk;
  bool skip_reset_qubits;
  bool unit_dt;  // times are in dt (whole numbers), else in ns
  bool alap;     // schedule as late as possible, else as soon as possible
  std::size_t block;  // the planner places the sequence's pulses in blocks of this many
  double max_free;    // walsh: the longest free time between pulses, 0 for no bound
  // Per unit of pulse error, the first-order error a run leaves that stops after j blocks
  // (j = 1 .. the blocks of the sequence): six numbers each, the rotation vector with every
  // pulse off resonance, then with every pulse over-rotated (see run_frames()), found by
  // block_residues() from the pulses' phases. Empty: the runs are not turned.
  std::vector<double> residues;
  std::size_t phase_count = 0;  // the phases the residues were found from; 0: none given
  // The device's noise for the walsh placement's choice of pulses (see DdNoise), in the
  // pass's time unit; absent: the planned patterns are kept.
  bool has_noise = false;
  DdNoise noise;
};

// A pulse of the sequence: a standard gate, turned by `frame` (the phase φ of a π pulse about
// (cos φ, sin φ, 0)) when not 0: then written as rz(-φ), the gate, rz(φ).
struct Pulse {
  QkGate gate;
  std::vector<double> params;
  double frame = 0.0;
};

// Everything of a call that does not depend on the circuit read: the sequence, its
// durations by qubit, the couplings and the options.
struct Inputs {
  Options options;
  std::size_t n = 0;      // pulses per block, as the planner counts them (options.block)
  std::size_t cycle = 0;  // pulses of the sequence, a multiple of n; a run cycles through them
  std::vector<Pulse> pulses;
  bool pulses_native = true;  // every pulse is a standard gate
  std::uint32_t nq = 0;
  std::vector<double> pulse_durations;  // `cycle` per qubit, repeating every n
  std::vector<bool> dd_qubit;
  std::vector<std::pair<Qubit, Qubit>> couplings;
};

// The core's options, mapped here alone from the pass's frozen options and a plan of the
// circuit's width (vornak.qiskit.width_plan.WidthPlan), both read by field name. From
// `options`: "placement" ("start", "spread" or "walsh"), "scheduling" ("asap" or "alap"),
// "crosstalk", "skip_reset_qubits" and "unit_dt" (bools), "dt" (seconds, or None),
// "max_free_time" (seconds, or None for no bound), "pulse_alignment" and "acquire_alignment"
// (in dt; no grid in ns); the spacing after each pulse is 10 ns in the pass's unit (none in dt
// without a dt). From `plan`, what depends on the width: "block" (an int >= 1), "phases"
// (None where frames may not turn runs, else the phase φ of each pulse, a π pulse about
// (cos φ, sin φ, 0): finite numbers, whole blocks; the residues are found from them, and
// left empty where the whole sequence leaves a first-order error or no block leaves any) and
// "noise" (None, or (detuning variances by qubit, ((error, duration, T1, T2) by qubit: a
// pulse's reported error, its duration and the qubit's T1 and T2, 0 where unknown), ((qubit,
// qubit, zeta), ...)), all numbers finite and >= 0, in the pass's time unit). A missing field
// or a value of the wrong kind is a TypeError, a bad value a ValueError, each naming the
// field.
Options to_options(PyObject* options, PyObject* plan);

// The inputs of a circuit on `nq` qubits: to_options() (its phases, where given, one per
// pulse), and from `plan` "pulses" ((gate number, (params...)) or (gate number, (params...),
// frame) per pulse of the sequence, a multiple of the block, or None where a pulse is not a
// standard gate: then only the plan can be returned), "pulse_durations" (per qubit None, for
// no pulses, or one per pulse, the same in every block) and "couplings" (pairs of qubits).
Inputs to_inputs(std::uint32_t nq, PyObject* options, PyObject* plan);

}  // namespace vornak::bridge

#endif
