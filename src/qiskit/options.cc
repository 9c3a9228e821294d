#include "qiskit/options.h"

#include <cmath>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>

#include "dd/refocus_cost.h"
#include "lib/pyref.h"
#include "qiskit/python_values.h"

namespace vornak::bridge {
namespace {

using py::Ref;

constexpr const char* kOptionNames[] = {
    "placement", "scheduling",        "pulse_alignment", "acquire_alignment", "spacing",
    "crosstalk", "skip_reset_qubits", "unit_dt",         "block",             "max_free",
    "residues",  "noise",
};

PyObject* option(PyObject* options, const char* name) {
  PyObject* value = PyDict_GetItemString(options, name);  // borrowed
  if (value == nullptr) fail(PyExc_TypeError, std::string("options lack '") + name + "'");
  return value;
}

bool flag(PyObject* options, const char* name) {
  PyObject* value = option(options, name);
  if (!PyBool_Check(value)) fail(PyExc_TypeError, std::string("option '") + name + "' must be a bool");
  return value == Py_True;
}

double number(PyObject* options, const char* name) {
  const double value = to_double(option(options, name));
  if (!std::isfinite(value) || value < 0) {
    fail(PyExc_ValueError, std::string("option '") + name + "' must be finite and >= 0");
  }
  return value;
}

// Which of `choices` the str option `name` is.
int choice(PyObject* options, const char* name, std::initializer_list<std::string_view> choices) {
  PyObject* value = option(options, name);
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    fail(PyExc_TypeError, std::string("option '") + name + "' must be a str");
  }
  int index = 0;
  for (std::string_view c : choices) {
    if (c == std::string_view(text, static_cast<std::size_t>(size))) return index;
    ++index;
  }
  fail(PyExc_ValueError, std::string("unknown ") + name + " '" + text + "'");
}

// A TypeError naming the first key of `options` that is no option.
[[noreturn]] void unknown_option(PyObject* options) {
  Ref keys = Ref::steal(check(PyDict_Keys(options)));
  for (Py_ssize_t i = 0; i < PyList_Size(keys.get()); ++i) {
    PyObject* key = PyList_GetItem(keys.get(), i);
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, nullptr) : nullptr;
    bool known = false;
    for (const char* name : kOptionNames) known = known || (text && std::string_view(text) == name);
    if (!known) {
      PyErr_Clear();
      Ref shown = Ref::steal(check(PyObject_Repr(key)));
      const char* repr = PyUnicode_AsUTF8AndSize(shown.get(), nullptr);
      if (repr == nullptr) throw PythonError{};
      fail(PyExc_TypeError, std::string("unknown option ") + repr);
    }
  }
  fail(PyExc_TypeError, "unknown option");
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
    fail(PyExc_TypeError, "option 'noise' must be (variances, pulse errors, couplings)");
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

Options to_options(PyObject* obj) {
  if (!PyDict_Check(obj)) fail(PyExc_TypeError, "options must be a dict");
  Options o{};
  o.placement = static_cast<Placement>(choice(obj, "placement", {"start", "spread", "walsh"}));
  o.alap = choice(obj, "scheduling", {"asap", "alap"}) == 1;
  o.alignment = number(obj, "pulse_alignment");
  o.acquire_alignment = number(obj, "acquire_alignment");
  o.spacing = number(obj, "spacing");
  o.crosstalk = flag(obj, "crosstalk");
  o.skip_reset_qubits = flag(obj, "skip_reset_qubits");
  o.unit_dt = flag(obj, "unit_dt");
  o.block = to_u32(option(obj, "block"));
  if (o.block == 0) fail(PyExc_ValueError, "option 'block' must be at least 1");
  o.max_free = number(obj, "max_free");
  // "residues" may be left out: no frames.
  PyObject* residues = PyDict_GetItemString(obj, "residues");  // borrowed
  if (residues != nullptr) {
    Ref values = Ref::steal(check(PySequence_Tuple(residues)));
    for (Py_ssize_t i = 0; i < PyTuple_Size(values.get()); ++i) {
      const double value = to_double(tuple_item(values.get(), i));
      if (!std::isfinite(value)) fail(PyExc_ValueError, "option 'residues' must be finite");
      o.residues.push_back(value);
    }
  }
  // "noise" may be left out too: the planned patterns are kept.
  PyObject* noise = PyDict_GetItemString(obj, "noise");  // borrowed
  if (noise != nullptr && noise != Py_None) {
    o.has_noise = true;
    o.noise = to_noise(noise);
  }
  const Py_ssize_t expected = static_cast<Py_ssize_t>(std::size(kOptionNames)) -
                              (residues ? 0 : 1) - (noise ? 0 : 1);
  if (PyDict_Size(obj) != expected) unknown_option(obj);
  return o;
}

Inputs to_inputs(std::uint32_t nq, PyObject* pulses_obj, PyObject* durations_obj,
                 PyObject* couplings_obj, PyObject* options_obj) {
  Inputs in;
  in.options = to_options(options_obj);
  in.nq = nq;
  Ref pulse_list = Ref::steal(check(PySequence_List(pulses_obj)));
  in.cycle = static_cast<std::size_t>(PyList_Size(pulse_list.get()));
  in.n = in.options.block;
  if (in.cycle == 0) fail(PyExc_ValueError, "the sequence has no pulses");
  if (in.cycle % in.n != 0) {
    fail(PyExc_ValueError, "the sequence's " + std::to_string(in.cycle) +
                               " pulses are no whole number of blocks of " +
                               std::to_string(in.n));
  }
  if (!in.options.residues.empty() && in.options.residues.size() != 6 * (in.cycle / in.n)) {
    fail(PyExc_ValueError, "option 'residues' needs six numbers per block of the sequence");
  }
  for (std::size_t k = 0; k < in.cycle; ++k) {
    PyObject* item = list_item(pulse_list.get(), k);
    if (item == Py_None) {
      in.pulses_native = false;
      continue;
    }
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
    in.pulses.push_back(std::move(pulse));
  }

  Ref duration_list = Ref::steal(check(PySequence_List(durations_obj)));
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

  Ref coupling_list = Ref::steal(check(PySequence_List(couplings_obj)));
  for (Py_ssize_t i = 0; i < PyList_Size(coupling_list.get()); ++i) {
    PyObject* pair = list_item(coupling_list.get(), i);
    if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
      fail(PyExc_TypeError, "a coupling must be a (qubit, qubit) tuple");
    }
    const std::uint32_t a = to_u32(tuple_item(pair, 0));
    const std::uint32_t b = to_u32(tuple_item(pair, 1));
    if (a >= nq || b >= nq) {
      fail(PyExc_ValueError, "coupling (" + std::to_string(a) + ", " + std::to_string(b) +
                                 ") names a qubit outside the circuit's " + std::to_string(nq));
    }
    in.couplings.emplace_back(a, b);
  }
  return in;
}

}  // namespace vornak::bridge
