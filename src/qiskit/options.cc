#include "qiskit/options.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "dd/block_residues.h"
#include "dd/refocus_cost.h"
#include "lib/pyref.h"
#include "qiskit/python_values.h"

namespace vornak::bridge {
namespace {

using py::Ref;

// The pulses are spaced by this much, in seconds: the free time after each pulse, and after
// a pulse it must avoid.
constexpr double kPulseSpacingSeconds = 10e-9;

bool flag(PyObject* options, const char* name) {
  Ref value = field(options, "options", name);
  if (!PyBool_Check(value.get())) {
    fail(PyExc_TypeError, std::string("options.") + name + " must be a bool");
  }
  return value.get() == Py_True;
}

// The number `value`, which messages call `what`: a TypeError naming it where it is none.
double real(PyObject* value, const std::string& what) {
  const double found = PyFloat_AsDouble(value);
  if (found == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
    PyErr_Clear();
    fail(PyExc_TypeError, what + " must be a number");
  }
  return found;
}

// A number that must be finite and >= 0: `what` names it in messages.
double length(double value, const std::string& what) {
  if (!std::isfinite(value) || value < 0) fail(PyExc_ValueError, what + " must be finite and >= 0");
  return value;
}

double number(PyObject* options, const char* name) {
  Ref value = field(options, "options", name);
  const std::string what = std::string("options.") + name;
  return length(real(value.get(), what), what);
}

// Which of `choices` the str field `name` of `options` is.
int choice(PyObject* options, const char* name, std::initializer_list<std::string_view> choices) {
  Ref value = field(options, "options", name);
  Py_ssize_t size = 0;
  const char* text =
      PyUnicode_Check(value.get()) ? PyUnicode_AsUTF8AndSize(value.get(), &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    fail(PyExc_TypeError, std::string("options.") + name + " must be a str");
  }
  int index = 0;
  for (std::string_view c : choices) {
    if (c == std::string_view(text, static_cast<std::size_t>(size))) return index;
    ++index;
  }
  std::string known;
  for (std::string_view c : choices) known += (known.empty() ? "'" : ", '") + std::string(c) + "'";
  fail(PyExc_ValueError, std::string("options.") + name + " must be one of " + known + ", not '" +
                             text + "'");
}

// The finite numbers >= 0 of the sequence `obj`, the option `what`'s.
std::vector<double> numbers(PyObject* obj, const char* what) {
  Ref values = Ref::steal(check(PySequence_Tuple(obj)));
  std::vector<double> out;
  for (Py_ssize_t i = 0; i < PyTuple_Size(values.get()); ++i) {
    const double value = to_double(tuple_item(values.get(), i));
    if (!std::isfinite(value) || value < 0) {
      fail(PyExc_ValueError, std::string(what) + " must be finite and >= 0");
    }
    out.push_back(value);
  }
  return out;
}

DdNoise to_noise(PyObject* obj) {
  Ref parts = Ref::steal(check(PySequence_Tuple(obj)));
  if (PyTuple_Size(parts.get()) != 3) {
    fail(PyExc_TypeError, "plan.noise must be (variances, pulse errors, couplings)");
  }
  DdNoise noise;
  noise.detuning_variance = numbers(tuple_item(parts.get(), 0), "detuning variances");
  // Each qubit's pulse as (reported error, duration, T1, T2), 0 for a value not known.
  Ref pulses = Ref::steal(check(PySequence_Tuple(tuple_item(parts.get(), 1))));
  for (Py_ssize_t i = 0; i < PyTuple_Size(pulses.get()); ++i) {
    const std::vector<double> p = numbers(tuple_item(pulses.get(), i), "a pulse's calibration");
    if (p.size() != 4) fail(PyExc_ValueError, "a pulse's calibration is (error, duration, T1, T2)");
    noise.pulse_error.push_back(dd_error_beyond_decoherence(p[0], p[1], p[2], p[3]));
  }
  Ref couplings = Ref::steal(check(PySequence_Tuple(tuple_item(parts.get(), 2))));
  for (Py_ssize_t i = 0; i < PyTuple_Size(couplings.get()); ++i) {
    PyObject* item = tuple_item(couplings.get(), i);
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 3) {
      fail(PyExc_TypeError, "a ZZ coupling must be a (qubit, qubit, zeta) tuple");
    }
    const double zeta = to_double(tuple_item(item, 2));
    if (!std::isfinite(zeta) || zeta < 0) fail(PyExc_ValueError, "a ZZ must be finite and >= 0");
    noise.zz.push_back({to_u32(tuple_item(item, 0)), to_u32(tuple_item(item, 1)), zeta});
  }
  return noise;
}

}  // namespace

Options to_options(PyObject* options, PyObject* plan) {
  Options o{};
  o.placement =
      static_cast<Placement>(choice(options, "placement", {"start", "spread", "walsh"}));
  o.alap = choice(options, "scheduling", {"asap", "alap"}) == 1;
  o.crosstalk = flag(options, "crosstalk");
  o.skip_reset_qubits = flag(options, "skip_reset_qubits");
  o.unit_dt = flag(options, "unit_dt");
  Ref dt_obj = field(options, "options", "dt");
  const bool has_dt = dt_obj.get() != Py_None;
  const double dt = has_dt ? real(dt_obj.get(), "options.dt") : 0.0;
  if (has_dt && (!std::isfinite(dt) || dt <= 0)) {
    fail(PyExc_ValueError, "options.dt must be None or finite and > 0");
  }
  if (o.unit_dt) {
    // Start times on the device's grids, in dt. Without a dt (durations all in dt) 10 ns is
    // no known number of dt: no spacing.
    o.alignment = number(options, "pulse_alignment");
    o.acquire_alignment = number(options, "acquire_alignment");
    o.spacing = has_dt ? std::ceil(kPulseSpacingSeconds / dt - 1e-9) : 0.0;
  } else {
    // In ns; the alignments are in dt, and without a dt there is no grid.
    o.alignment = 0.0;
    o.acquire_alignment = 0.0;
    o.spacing = kPulseSpacingSeconds * 1e9;
  }
  // The longest free time, given in seconds, in the pass's unit; None: no bound (0).
  Ref free_obj = field(options, "options", "max_free_time");
  if (free_obj.get() != Py_None) {
    const double seconds =
        length(real(free_obj.get(), "options.max_free_time"), "options.max_free_time");
    if (o.unit_dt && !has_dt) fail(PyExc_ValueError, "options.max_free_time needs a dt");
    o.max_free = length(o.unit_dt ? seconds / dt : seconds * 1e9, "options.max_free_time");
  }
  Ref block = field(plan, "plan", "block");
  if (!PyLong_Check(block.get())) fail(PyExc_TypeError, "plan.block must be an int");
  o.block = to_u32(block.get());
  if (o.block == 0) fail(PyExc_ValueError, "plan.block must be at least 1");
  // None, or each pulse's phase: the runs are turned by frames where the blocks leave an error
  // that turning can cancel.
  Ref phases = field(plan, "plan", "phases");
  if (phases.get() != Py_None) {
    Ref values = Ref::steal(check(PySequence_Tuple(phases.get())));
    std::vector<double> found;
    for (Py_ssize_t i = 0; i < PyTuple_Size(values.get()); ++i) {
      const double value = real(tuple_item(values.get(), i), "plan.phases");
      if (!std::isfinite(value)) fail(PyExc_ValueError, "plan.phases must be finite");
      found.push_back(value);
    }
    if (found.empty() || found.size() % o.block != 0) {
      fail(PyExc_ValueError, "plan.phases must be whole blocks of plan.block, at least one");
    }
    o.phase_count = found.size();
    std::optional<std::vector<double>> residues = block_residues(found, o.block);
    if (residues && std::any_of(residues->begin(), residues->end(),
                                [](double v) { return v != 0.0; })) {
      o.residues = std::move(*residues);
    }
  }
  // None: the planned patterns are kept.
  Ref noise = field(plan, "plan", "noise");
  if (noise.get() != Py_None) {
    o.has_noise = true;
    o.noise = to_noise(noise.get());
  }
  return o;
}

namespace {

// Pulse k of the plan: a (gate number, parameters[, frame]) tuple.
Pulse read_pulse(PyObject* item, std::size_t k) {
  if (!PyTuple_Check(item) || PyTuple_Size(item) < 2 || PyTuple_Size(item) > 3) {
    fail(PyExc_TypeError,
         "a pulse must be None or a (gate number, parameters[, frame]) tuple");
  }
  PyObject* gate_obj = tuple_item(item, 0);
  PyObject* params_obj = tuple_item(item, 1);
  const std::uint32_t number = to_u32(gate_obj);
  if (number >= kStandardGates) {
    fail(PyExc_ValueError, "pulse " + std::to_string(k) + ": no standard gate has number " +
                               std::to_string(number));
  }
  Pulse pulse{static_cast<QkGate>(number), {}};
  if (qk_gate_num_qubits(pulse.gate) != 1) {
    fail(PyExc_ValueError, "pulse " + std::to_string(k) + " is not a single-qubit gate");
  }
  Ref params = Ref::steal(check(PySequence_Tuple(params_obj)));
  const Py_ssize_t given = PyTuple_Size(params.get());
  if (given != static_cast<Py_ssize_t>(qk_gate_num_params(pulse.gate))) {
    fail(PyExc_ValueError, "pulse " + std::to_string(k) + " has " + std::to_string(given) +
                               " parameters, its gate takes " +
                               std::to_string(qk_gate_num_params(pulse.gate)));
  }
  for (Py_ssize_t p = 0; p < given; ++p) {
    pulse.params.push_back(to_double(tuple_item(params.get(), p)));
  }
  if (PyTuple_Size(item) == 3) {
    pulse.frame = to_double(tuple_item(item, 2));
    if (!std::isfinite(pulse.frame)) fail(PyExc_ValueError, "a pulse's frame must be finite");
  }
  return pulse;
}

// The plan's pulse durations: per qubit, None (no pulses) or one per pulse of the sequence,
// the same in every block.
void read_pulse_durations(PyObject* plan, Inputs& in) {
  const std::uint32_t nq = in.nq;
  Ref durations_obj = field(plan, "plan", "pulse_durations");
  Ref duration_list = Ref::steal(check(PySequence_List(durations_obj.get())));
  if (PyList_Size(duration_list.get()) != static_cast<Py_ssize_t>(nq)) {
    fail(PyExc_ValueError, "pulse durations must have one entry per qubit");
  }
  in.pulse_durations.assign(std::size_t{nq} * in.cycle, 0.0);
  in.dd_qubit.assign(nq, false);
  for (std::uint32_t q = 0; q < nq; ++q) {
    PyObject* item = list_item(duration_list.get(), q);
    if (item == Py_None) continue;
    Ref values = Ref::steal(check(PySequence_Tuple(item)));
    if (PyTuple_Size(values.get()) != static_cast<Py_ssize_t>(in.cycle)) {
      fail(PyExc_ValueError, "each qubit needs one duration per pulse");
    }
    double* own = in.pulse_durations.data() + q * in.cycle;
    for (std::size_t k = 0; k < in.cycle; ++k) {
      own[k] = to_length(tuple_item(values.get(), k), "a pulse duration");
      if (own[k] != own[k % in.n]) {
        fail(PyExc_ValueError, "the pulse durations of qubit " + std::to_string(q) +
                                   " differ from block to block");
      }
    }
    in.dd_qubit[q] = true;
  }
}

// The plan's coupled pairs, each of qubits inside the circuit.
void read_couplings(PyObject* plan, Inputs& in) {
  Ref couplings_obj = field(plan, "plan", "couplings");
  Ref coupling_list = Ref::steal(check(PySequence_List(couplings_obj.get())));
  for (Py_ssize_t i = 0; i < PyList_Size(coupling_list.get()); ++i) {
    PyObject* pair = list_item(coupling_list.get(), i);
    if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
      fail(PyExc_TypeError, "a coupling must be a (qubit, qubit) tuple");
    }
    const std::uint32_t a = to_u32(tuple_item(pair, 0));
    const std::uint32_t b = to_u32(tuple_item(pair, 1));
    if (a >= in.nq || b >= in.nq) {
      fail(PyExc_ValueError, "coupling (" + std::to_string(a) + ", " + std::to_string(b) +
                                 ") names a qubit outside the circuit's " +
                                 std::to_string(in.nq));
    }
    in.couplings.emplace_back(a, b);
  }
}

}  // namespace

Inputs to_inputs(std::uint32_t nq, PyObject* options, PyObject* plan) {
  Inputs in;
  in.options = to_options(options, plan);
  in.nq = nq;
  Ref pulses_obj = field(plan, "plan", "pulses");
  Ref pulse_list = Ref::steal(check(PySequence_List(pulses_obj.get())));
  in.cycle = static_cast<std::size_t>(PyList_Size(pulse_list.get()));
  in.n = in.options.block;
  if (in.cycle == 0) fail(PyExc_ValueError, "the sequence has no pulses");
  if (in.cycle % in.n != 0) {
    fail(PyExc_ValueError, "the sequence's " + std::to_string(in.cycle) +
                               " pulses are no whole number of blocks of " +
                               std::to_string(in.n));
  }
  if (in.options.phase_count != 0 && in.options.phase_count != in.cycle) {
    fail(PyExc_ValueError, "plan.phases needs one phase per pulse of the sequence");
  }
  for (std::size_t k = 0; k < in.cycle; ++k) {
    PyObject* item = list_item(pulse_list.get(), k);
    if (item == Py_None) {
      in.pulses_native = false;
      continue;
    }
    in.pulses.push_back(read_pulse(item, k));
  }
  read_pulse_durations(plan, in);
  read_couplings(plan, in);
  return in;
}

}  // namespace vornak::bridge
