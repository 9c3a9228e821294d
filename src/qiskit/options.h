#ifndef VORNAK_QISKIT_OPTIONS_H
#define VORNAK_QISKIT_OPTIONS_H

#include "qiskit/capi.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

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
};

struct Pulse {
  QkGate gate;
  std::vector<double> params;
};

// Everything of a call that does not depend on the circuit read: the sequence, its
// durations by qubit, the couplings and the options.
struct Inputs {
  Options options;
  std::size_t n = 0;  // pulses per sequence
  std::vector<Pulse> pulses;
  bool pulses_native = true;  // every pulse is a standard gate
  std::uint32_t nq = 0;
  std::vector<double> pulse_durations;  // n per qubit
  std::vector<bool> dd_qubit;
  std::vector<std::pair<Qubit, Qubit>> couplings;
};

// The options from a dict with exactly these keys: "placement" ("start", "spread" or
// "walsh"), "scheduling" ("asap" or "alap"), "pulse_alignment", "acquire_alignment" and
// "spacing" (numbers, finite and >= 0), "crosstalk", "skip_reset_qubits" and "unit_dt"
// (bools).
Options to_options(PyObject* obj);

// The inputs of a circuit on `nq` qubits. pulses: (gate number, (params...)) per pulse, or
// None where a pulse is not a standard gate (then only the plan can be returned); pulse
// durations: per qubit None (no pulses) or n durations; couplings: pairs of qubits; options:
// as for to_options().
Inputs to_inputs(std::uint32_t nq, PyObject* pulses_obj, PyObject* durations_obj,
                 PyObject* couplings_obj, PyObject* options_obj);

}  // namespace vornak::bridge

#endif
