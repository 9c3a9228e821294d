// vornak._bridge: runs the DD planner of src/graph on a Qiskit DAGCircuit through Qiskit's C
// API, and writes the padded circuit back. Every Qiskit call of the project lives in this
// file: the API's function table is private to the translation unit that imports it.
#define PY_SSIZE_T_CLEAN
#define QISKIT_PYTHON_EXTENSION
#include <qiskit.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "graph/dag.h"
#include "graph/dd_plan.h"
#include "graph/dd_walsh.h"
#include "graph/pass_schedule.h"
#include "lib/pyref.h"

namespace vornak::bridge {
namespace {

using py::Ref;

// Thrown with a Python exception set.
struct PythonError {};

[[noreturn]] void fail(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError{};
}

PyObject* check(PyObject* obj) {
  if (obj == nullptr) throw PythonError{};
  return obj;
}

double to_double(PyObject* obj) {
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
  return value;
}

// A duration or time read from Python: finite and not negative, else a ValueError naming it.
double to_length(PyObject* obj, const char* what) {
  double value = to_double(obj);
  if (!std::isfinite(value) || value < 0) {
    fail(PyExc_ValueError, std::string(what) + " must be finite and >= 0, not " +
                               std::to_string(value));
  }
  return value;
}

std::uint32_t to_u32(PyObject* obj) {
  unsigned long value = PyLong_AsUnsignedLong(obj);
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PythonError{};
  if (value > UINT32_MAX) fail(PyExc_OverflowError, "index out of range");
  return static_cast<std::uint32_t>(value);
}

// qk_circuit_parameterized_gate's table entry, called through a correct C++ type (the
// header's macro spells a type that only C accepts).
QkExitCode append_gate(QkCircuit* circuit, QkGate gate, const std::uint32_t* qubits,
                       const QkParam* const* params) {
  using Fn = QkExitCode (*)(QkCircuit*, QkGate, const std::uint32_t*, const QkParam* const*);
  return reinterpret_cast<Fn>(_Qk_API_Circuit[38])(circuit, gate, qubits, params);
}

void check_exit(QkExitCode code, const char* what) {
  if (code != QkExitCode_Success) {
    fail(PyExc_RuntimeError, std::string("Qiskit refused to ") + what + " (exit code " +
                                 std::to_string(static_cast<unsigned>(code)) + ")");
  }
}

struct CircuitDeleter {
  void operator()(QkCircuit* c) const { qk_circuit_free(c); }
};
struct DagDeleter {
  void operator()(QkDag* d) const { qk_dag_free(d); }
};

constexpr std::uint32_t kStandardGates = QkGate_RC3X + 1;

// The name Qiskit gives each standard gate, by gate number, read once by writing the gate
// into a scratch circuit. An operation whose kind is a standard gate but whose name differs
// is an instance of a Python subclass (a user's pulse gate, say): the C API would write it
// back as the plain standard gate, so such circuits go to the Python writer.
const std::vector<std::string>& standard_gate_names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> found(kStandardGates);
    const std::vector<double> zeros(8, 0.0);
    const std::vector<std::uint32_t> qubits = {0, 1, 2, 3, 4, 5, 6, 7};
    for (std::uint32_t g = 0; g < kStandardGates; ++g) {
      const QkGate gate = static_cast<QkGate>(g);
      const std::uint32_t nq = qk_gate_num_qubits(gate);
      if (nq > qubits.size() || qk_gate_num_params(gate) > zeros.size()) continue;
      std::unique_ptr<QkCircuit, CircuitDeleter> scratch(qk_circuit_new(std::max(nq, 1u), 0));
      if (qk_circuit_gate(scratch.get(), gate, qubits.data(), zeros.data()) != QkExitCode_Success ||
          qk_circuit_num_instructions(scratch.get()) != 1) {
        continue;  // an empty name matches no operation: such gates take the Python writer
      }
      QkCircuitInstructionView view;
      qk_circuit_view_instruction(scratch.get(), 0, &view);
      found[g].assign(view.name, view.name_len);
    }
    return found;
  }();
  return names;
}

// Operation durations by name and qubits; an entry with no qubits holds for any qubits.
// Names are numbered once; an entry on at most two qubits is found by one integer key, so a
// lookup per instruction builds no string.
class DurationTable {
 public:
  // `table`: dict of name to dict of qubit tuple to duration.
  explicit DurationTable(PyObject* table) {
    if (!PyDict_Check(table)) fail(PyExc_TypeError, "durations must be a dict");
    Py_ssize_t pos = 0;
    PyObject *name, *entries;
    std::vector<std::uint32_t> qubits;
    while (PyDict_Next(table, &pos, &name, &entries)) {
      Py_ssize_t size;
      const char* text = PyUnicode_AsUTF8AndSize(name, &size);
      if (text == nullptr) throw PythonError{};
      if (!PyDict_Check(entries)) fail(PyExc_TypeError, "durations must map names to dicts");
      const std::uint32_t id = name_id(std::string_view(text, static_cast<std::size_t>(size)));
      Py_ssize_t pos2 = 0;
      PyObject *qargs, *duration;
      while (PyDict_Next(entries, &pos2, &qargs, &duration)) {
        Ref items = Ref::steal(check(PySequence_Tuple(qargs)));
        qubits.clear();
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
          qubits.push_back(to_u32(PyTuple_GET_ITEM(items.get(), i)));
        }
        const double value = to_length(duration, "an operation's duration");
        const auto count = static_cast<std::uint32_t>(qubits.size());
        if (std::uint64_t key; packed(id, qubits.data(), count, key)) {
          packed_[key] = value;
        } else {
          wide_[wide_key(id, qubits.data(), count)] = value;
        }
      }
    }
  }

  const double* find(std::string_view name, const std::uint32_t* qubits, std::uint32_t count) const {
    auto named = ids_.find(name);
    if (named == ids_.end()) return nullptr;
    if (const double* found = lookup(named->second, qubits, count)) return found;
    return lookup(named->second, nullptr, 0);
  }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };

  std::uint32_t name_id(std::string_view name) {
    auto it = ids_.find(name);
    if (it != ids_.end()) return it->second;
    const auto id = static_cast<std::uint32_t>(ids_.size());
    ids_.emplace(std::string(name), id);
    return id;
  }

  // Name (20 bits), count (2 bits) and two qubits (21 bits each) in one key, where they fit.
  static bool packed(std::uint32_t id, const std::uint32_t* qubits, std::uint32_t count,
                     std::uint64_t& key) {
    constexpr std::uint32_t kQubitLimit = 1u << 21;
    if (count > 2 || id >= (1u << 20)) return false;
    std::uint64_t q0 = count > 0 ? qubits[0] : 0, q1 = count > 1 ? qubits[1] : 0;
    if (q0 >= kQubitLimit || q1 >= kQubitLimit) return false;
    key = (std::uint64_t{id} << 44) | (std::uint64_t{count} << 42) | (q0 << 21) | q1;
    return true;
  }

  const double* lookup(std::uint32_t id, const std::uint32_t* qubits, std::uint32_t count) const {
    if (std::uint64_t key; packed(id, qubits, count, key)) {
      auto it = packed_.find(key);
      return it == packed_.end() ? nullptr : &it->second;
    }
    if (wide_.empty()) return nullptr;
    auto it = wide_.find(wide_key(id, qubits, count));
    return it == wide_.end() ? nullptr : &it->second;
  }

  static std::string wide_key(std::uint32_t id, const std::uint32_t* qubits, std::uint32_t count) {
    std::string key(reinterpret_cast<const char*>(&id), sizeof id);
    key.append(reinterpret_cast<const char*>(qubits), sizeof(std::uint32_t) * count);
    return key;
  }

  std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> ids_;
  std::unordered_map<std::uint64_t, double> packed_;
  std::unordered_map<std::string, double> wide_;
};

std::string qubit_list(const std::uint32_t* qubits, std::uint32_t count) {
  std::string text = "[";
  for (std::uint32_t i = 0; i < count; ++i) {
    if (i) text += ", ";
    text += std::to_string(qubits[i]);
  }
  return text + "]";
}

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

// The instructions of a DAG, reached by node index, in topological order.
class DagSource {
 public:
  explicit DagSource(QkDag* dag) : dag_(dag) {}
  std::uint32_t num_qubits() const { return qk_dag_num_qubits(dag_); }
  std::vector<std::uint32_t> order() const {
    std::vector<std::uint32_t> order(qk_dag_num_op_nodes(dag_));
    if (!order.empty()) qk_dag_topological_op_nodes(dag_, order.data());
    return order;
  }
  void view(std::uint32_t node, QkCircuitInstructionView* out) const {
    qk_dag_view_instruction(dag_, node, out);
  }
  QkOperationKind kind(std::uint32_t node) const { return qk_dag_op_node_kind(dag_, node); }
  QkGate gate(std::uint32_t node) const { return qk_dag_op_node_gate_op(dag_, node, nullptr); }
  void unitary(std::uint32_t node, QkComplex64* out) const { qk_dag_op_node_unitary(dag_, node, out); }
  std::uint32_t delay_key(std::uint32_t node) const { return node; }
  QkDag* dag() const { return dag_; }
  // An empty circuit with the input's bits, registers, variables and global phase.
  QkCircuit* empty_like() const {
    std::unique_ptr<QkDag, DagDeleter> empty(
        qk_dag_copy_empty_like(dag_, QkVarsMode_Alike, QkBlocksMode_Drop));
    return qk_dag_to_circuit(empty.get());
  }

 private:
  QkDag* dag_;
};

// A circuit, read through a DAG made from it in the DAG's topological order: the order in
// which the pass reads the DAG that a PassManager makes of the same circuit, so that both
// plan alike (the planner places pulses in the order it meets the gaps). Delays are keyed by
// their position in the circuit; the padded circuit gets the circuit's bits and registers.
class CircuitSource : public DagSource {
 public:
  explicit CircuitSource(QkCircuit* circuit)
      : DagSource(check_dag(qk_circuit_to_dag(circuit))), owned_(dag()), circuit_(circuit) {
    // A DAG made from a circuit numbers its operations in the circuit's order, after its
    // wire nodes.
    if (qk_dag_num_op_nodes(dag()) > 0) {
      while (qk_dag_node_type(dag(), first_) != QkDagNodeType_Operation) ++first_;
    }
  }
  std::uint32_t delay_key(std::uint32_t node) const { return node - first_; }
  QkCircuit* empty_like() const {
    return qk_circuit_copy_empty_like(circuit_, QkVarsMode_Alike, QkBlocksMode_Drop);
  }

 private:
  static QkDag* check_dag(QkDag* dag) {
    if (dag == nullptr) fail(PyExc_RuntimeError, "Qiskit refused to make a DAG of the circuit");
    return dag;
  }
  std::unique_ptr<QkDag, DagDeleter> owned_;
  QkCircuit* circuit_;
  std::uint32_t first_ = 0;
};

// The input read into the core: one node per operation in an order the DAG allows, on the
// input's qubits and, after them, one wire per clbit.
struct Reading {
  std::vector<std::uint32_t> order;  // node index of each core node
  std::vector<std::uint8_t> flags;   // kDdNode* of each core node
  QuantumDAG core;
  std::vector<double> alignments;  // start grid of each core node; empty: none
  bool writable = true;  // every operation can be written through the C API
};

// The start grid of every operation, as the scheduling stage of Qiskit sets it (its
// ConstrainedReschedule): measurements and resets on the acquire alignment, delays anywhere,
// other operations on the pulse alignment. Barriers too, unlike there: the delays written on
// both sides of a barrier then stay multiples of the alignment, which Qiskit's
// InstructionDurationCheck asks of every delay. (Qiskit 2.6's compiled ConstrainedReschedule
// swaps the two: gates land on the acquire grid, measurements and resets on the pulse grid;
// its documentation and IBM devices, whose two alignments are equal, agree with this rule.)
double alignment_of(QkOperationKind kind, const Options& options) {
  switch (kind) {
    case QkOperationKind_Delay:
      return 0.0;
    case QkOperationKind_Measure:
    case QkOperationKind_Reset:
      return options.acquire_alignment;
    default:
      return options.alignment;
  }
}

// `delays`: dict of the source's delay key (node index or position) to each delay's length.
template <class Source>
Reading read(const Source& source, const DurationTable& table, PyObject* delays,
             const Options& options) {
  Reading r;
  const std::uint32_t nq = source.num_qubits();
  r.order = source.order();
  const std::size_t ops = r.order.size();
  r.flags.assign(ops, 0);
  r.core.reserve(ops, 2 * ops, 0);
  const std::uint32_t name = r.core.strings().intern("op");
  std::vector<Qubit> wires;
  // Granularity and minimum length constrain pulse waveforms, not start times or delays:
  // Qiskit's scheduling stage uses them for nothing else, and neither does the pass.
  const bool aligned = options.alignment > 1.0 || options.acquire_alignment > 1.0;
  if (aligned) r.alignments.resize(ops);
  for (std::size_t i = 0; i < ops; ++i) {
    const std::uint32_t node = r.order[i];
    QkCircuitInstructionView view;
    source.view(node, &view);
    const std::string_view op_name(view.name, view.name_len);
    const QkOperationKind kind = source.kind(node);
    double duration = 0.0;
    switch (kind) {
      case QkOperationKind_ControlFlow:
        fail(PyExc_NotImplementedError,
             "control-flow operation " + std::string(op_name) + " on qubits " +
                 qubit_list(view.qubits, view.num_qubits));
      case QkOperationKind_Barrier:
        break;
      case QkOperationKind_Delay: {
        Ref key = Ref::steal(check(PyLong_FromUnsignedLong(source.delay_key(node))));
        PyObject* value = PyDict_GetItemWithError(delays, key.get());
        if (value == nullptr) {
          if (PyErr_Occurred()) throw PythonError{};
          fail(PyExc_LookupError, "no duration for the delay on qubits " +
                                      qubit_list(view.qubits, view.num_qubits));
        }
        duration = to_length(value, "a delay's duration");
        r.flags[i] = kDdNodeIdle;
        break;
      }
      case QkOperationKind_Reset:
        r.flags[i] = kDdNodeResets;
        [[fallthrough]];
      default: {
        const double* found = table.find(op_name, view.qubits, view.num_qubits);
        if (found == nullptr) {
          fail(PyExc_LookupError, "Duration of " + std::string(op_name) + " on qubits " +
                                      qubit_list(view.qubits, view.num_qubits) +
                                      " is not found.");
        }
        duration = *found;
        break;
      }
    }
    switch (kind) {
      case QkOperationKind_Gate: {
        const std::uint32_t gate = source.gate(node);
        const std::vector<std::string>& names = standard_gate_names();
        if (gate >= names.size() || names[gate] != op_name) r.writable = false;
        break;
      }
      case QkOperationKind_Barrier:
      case QkOperationKind_Delay:
      case QkOperationKind_Measure:
      case QkOperationKind_Reset:
      case QkOperationKind_Unitary:
        break;
      default:
        r.writable = false;
    }
    if (aligned) r.alignments[i] = alignment_of(kind, options);
    wires.assign(view.qubits, view.qubits + view.num_qubits);
    for (std::uint32_t c = 0; c < view.num_clbits; ++c) wires.push_back(Qubit{nq} + view.clbits[c]);
    r.core.insert_node(name, wires, duration, {});
  }
  return r;
}

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

Options to_options(PyObject* obj) {
  if (!PyTuple_Check(obj)) fail(PyExc_TypeError, "options must be a tuple");
  Options o{};
  int placement, crosstalk, skip_reset_qubits, unit_dt, alap;  // the "p" format writes ints
  if (!PyArg_ParseTuple(obj, "idddpppp", &placement, &o.alignment, &o.acquire_alignment,
                        &o.spacing, &crosstalk, &skip_reset_qubits, &unit_dt, &alap)) {
    throw PythonError{};
  }
  if (placement < 0 || placement > static_cast<int>(Placement::kWalsh)) {
    fail(PyExc_ValueError, "unknown placement");
  }
  o.placement = static_cast<Placement>(placement);
  o.crosstalk = crosstalk;
  o.skip_reset_qubits = skip_reset_qubits;
  o.unit_dt = unit_dt;
  o.alap = alap;
  for (double value : {o.alignment, o.acquire_alignment, o.spacing}) {
    if (!std::isfinite(value) || value < 0) {
      fail(PyExc_ValueError, "alignments and spacing must be finite and >= 0");
    }
  }
  return o;
}

// pulses: (gate number, (params...)) per pulse, or None where a pulse is not a standard gate
// (then only the plan can be returned); pulse durations: per qubit None (no pulses) or n
// durations; couplings: pairs of qubits.
Inputs to_inputs(std::uint32_t nq, PyObject* pulses_obj, PyObject* durations_obj,
                 PyObject* couplings_obj, PyObject* options_obj) {
  Inputs in;
  in.options = to_options(options_obj);
  in.nq = nq;
  Ref pulse_list = Ref::steal(check(PySequence_List(pulses_obj)));
  in.n = static_cast<std::size_t>(PyList_GET_SIZE(pulse_list.get()));
  if (in.n == 0) fail(PyExc_ValueError, "the sequence has no pulses");
  for (std::size_t k = 0; k < in.n; ++k) {
    PyObject* item = PyList_GET_ITEM(pulse_list.get(), k);
    if (item == Py_None) {
      in.pulses_native = false;
      continue;
    }
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
      fail(PyExc_TypeError, "a pulse must be None or a (gate number, parameters) tuple");
    }
    PyObject* gate_obj = PyTuple_GET_ITEM(item, 0);
    PyObject* params_obj = PyTuple_GET_ITEM(item, 1);
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
    const Py_ssize_t given = PyTuple_GET_SIZE(params.get());
    if (given != static_cast<Py_ssize_t>(qk_gate_num_params(pulse.gate))) {
      fail(PyExc_ValueError, "pulse " + std::to_string(k) + " has " + std::to_string(given) +
                                 " parameters, its gate takes " +
                                 std::to_string(qk_gate_num_params(pulse.gate)));
    }
    for (Py_ssize_t p = 0; p < given; ++p) {
      pulse.params.push_back(to_double(PyTuple_GET_ITEM(params.get(), p)));
    }
    in.pulses.push_back(std::move(pulse));
  }

  Ref duration_list = Ref::steal(check(PySequence_List(durations_obj)));
  if (PyList_GET_SIZE(duration_list.get()) != static_cast<Py_ssize_t>(nq)) {
    fail(PyExc_ValueError, "pulse durations must have one entry per qubit");
  }
  in.pulse_durations.assign(std::size_t{nq} * in.n, 0.0);
  in.dd_qubit.assign(nq, false);
  for (std::uint32_t q = 0; q < nq; ++q) {
    PyObject* item = PyList_GET_ITEM(duration_list.get(), q);
    if (item == Py_None) continue;
    Ref values = Ref::steal(check(PySequence_Tuple(item)));
    if (PyTuple_GET_SIZE(values.get()) != static_cast<Py_ssize_t>(in.n)) {
      fail(PyExc_ValueError, "each qubit needs one duration per pulse");
    }
    for (std::size_t k = 0; k < in.n; ++k) {
      in.pulse_durations[q * in.n + k] =
          to_length(PyTuple_GET_ITEM(values.get(), k), "a pulse duration");
    }
    in.dd_qubit[q] = true;
  }

  Ref coupling_list = Ref::steal(check(PySequence_List(couplings_obj)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(coupling_list.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(coupling_list.get(), i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      fail(PyExc_TypeError, "a coupling must be a (qubit, qubit) tuple");
    }
    const std::uint32_t a = to_u32(PyTuple_GET_ITEM(pair, 0));
    const std::uint32_t b = to_u32(PyTuple_GET_ITEM(pair, 1));
    if (a >= nq || b >= nq) {
      fail(PyExc_ValueError, "coupling (" + std::to_string(a) + ", " + std::to_string(b) +
                                 ") names a qubit outside the circuit's " + std::to_string(nq));
    }
    in.couplings.emplace_back(a, b);
  }
  return in;
}

// Releases the interpreter lock for as long as it lives: for core work only, which touches
// no Python object and no Qiskit object.
class WithoutLock {
 public:
  WithoutLock() : state_(PyEval_SaveThread()) {}
  ~WithoutLock() { PyEval_RestoreThread(state_); }
  WithoutLock(const WithoutLock&) = delete;
  WithoutLock& operator=(const WithoutLock&) = delete;

 private:
  PyThreadState* state_;
};

// Schedules `reading` (as soon or as late as possible, on its start grids) and plans its
// pulses: core work, done without the interpreter lock, so that other threads run Python (or pad other circuits) meanwhile.
DdPlan schedule_and_plan(Reading& reading, const Inputs& in) {
  WithoutLock unlocked;
  reading.core.add_couplings(in.couplings);
  build_pass_schedule(reading.core, in.options.alap ? ScheduleOrder::kAlap : ScheduleOrder::kAsap,
                      reading.alignments);
  const std::size_t n = in.n;
  const DdPulseDurations qubit_durations = [&](Qubit q, std::span<double> out) {
    if (q >= in.nq || !in.dd_qubit[q]) return false;
    std::copy_n(in.pulse_durations.begin() + static_cast<std::ptrdiff_t>(q * n), n, out.begin());
    return true;
  };
  const Options& options = in.options;
  if (options.placement == Placement::kWalsh) {
    // Each pattern needs its pulses at its own times: no crosstalk shifts here; the
    // couplings choose which pattern each qubit takes instead.
    DdWalshOptions walsh_options;
    walsh_options.pulse_count = n;
    walsh_options.alignment = options.alignment;
    walsh_options.spacing = options.spacing;
    walsh_options.skip_ground_state = options.skip_reset_qubits;
    walsh_options.trailing = true;
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

// Writes `reading`'s operations with the planned pulses into a new circuit of the same
// width, every idle stretch of a qubit filled with a delay, the whole circuit `length` long.
template <class Source>
class Writer {
 public:
  Writer(const Source& source, const Reading& reading, const DdPlan& plan, const Inputs& in)
      : source_(source), reading_(reading), plan_(plan), in_(in), nq_(source.num_qubits()),
        circuit_(source.empty_like()), cursor_(nq_, 0.0) {
    starts_.reserve(2 * reading.order.size() + 2 * plan.starts.size());
  }

  QkCircuit* circuit() { return circuit_.get(); }
  QkCircuit* release() { return circuit_.release(); }
  // The start time of every instruction written, in the order written.
  const std::vector<double>& starts() const { return starts_; }

  double write() {
    std::span<const ScheduleEntry> schedule = reading_.core.schedule();
    auto run = plan_.runs.begin();
    double length = 0.0;
    for (std::size_t i = 0; i < reading_.order.size(); ++i) {
      const ScheduleEntry entry = schedule[i];
      length = std::max(length, entry.end_time);
      for (; run != plan_.runs.end() && run->before == i; ++run) write_run(*run);
      if (reading_.flags[i] & kDdNodeIdle) continue;
      const std::uint32_t node = reading_.order[i];
      QkCircuitInstructionView view;
      source_.view(node, &view);
      for (std::uint32_t k = 0; k < view.num_qubits; ++k) idle_until(view.qubits[k], entry.start_time);
      starts_.push_back(entry.start_time);
      write_operation(node, view);
      for (std::uint32_t k = 0; k < view.num_qubits; ++k) cursor_[view.qubits[k]] = entry.end_time;
    }
    // Trailing runs (before == the node count): after each qubit's last operation.
    for (; run != plan_.runs.end(); ++run) write_run(*run);
    for (std::uint32_t q = 0; q < nq_; ++q) idle_until(q, length);
    return length;
  }

 private:
  void idle_until(std::uint32_t q, double t) {
    double gap = t - cursor_[q];
    if (gap > 0) {
      starts_.push_back(cursor_[q]);
      if (in_.options.unit_dt) {
        check_exit(qk_circuit_delay_dt(circuit_.get(), q, static_cast<std::int64_t>(std::llround(gap))),
                   "add a delay");
      } else {
        check_exit(qk_circuit_delay(circuit_.get(), q, gap, QkDelayUnit_NS), "add a delay");
      }
    }
    cursor_[q] = t;
  }

  // Writes `run`, whose pulses start at plan_.starts[next_start_ ..]; its k-th pulse is pulse
  // k % n of the sequence, as a run may hold several repetitions of it.
  void write_run(const DdRun& run) {
    const std::uint32_t q = static_cast<std::uint32_t>(run.qubit);
    for (std::uint32_t k = 0, j = 0; k < run.count; ++k, j = j + 1 == in_.n ? 0 : j + 1) {
      const double start = plan_.starts[next_start_++];
      idle_until(q, start);
      starts_.push_back(start);
      const Pulse& pulse = in_.pulses[j];
      check_exit(qk_circuit_gate(circuit_.get(), pulse.gate, &q, pulse.params.data()),
                 "add a pulse");
      cursor_[q] = start + in_.pulse_durations[q * in_.n + j];
    }
  }

  void write_operation(std::uint32_t node, const QkCircuitInstructionView& view) {
    QkCircuit* c = circuit_.get();
    switch (source_.kind(node)) {
      case QkOperationKind_Gate: {
        QkGate gate = source_.gate(node);
        params_.clear();
        const std::size_t stride = qk_param_stride();
        for (std::size_t p = 0; p < view.num_params; ++p) {
          params_.push_back(reinterpret_cast<const QkParam*>(
              reinterpret_cast<const char*>(view.params) + p * stride));
        }
        check_exit(append_gate(c, gate, view.qubits, params_.data()), "add a gate");
        break;
      }
      case QkOperationKind_Measure:
        check_exit(qk_circuit_measure(c, view.qubits[0], view.clbits[0]), "add a measurement");
        break;
      case QkOperationKind_Reset:
        check_exit(qk_circuit_reset(c, view.qubits[0]), "add a reset");
        break;
      case QkOperationKind_Barrier:
        check_exit(qk_circuit_barrier(c, view.qubits, view.num_qubits), "add a barrier");
        break;
      case QkOperationKind_Unitary: {
        matrix_.resize(std::size_t{1} << (2 * view.num_qubits));
        source_.unitary(node, matrix_.data());
        check_exit(qk_circuit_unitary(c, matrix_.data(), view.qubits, view.num_qubits, false),
                   "add a unitary");
        break;
      }
      default:
        fail(PyExc_RuntimeError, "an operation that cannot be written natively");
    }
  }

  const Source& source_;
  const Reading& reading_;
  const DdPlan& plan_;
  const Inputs& in_;
  std::uint32_t nq_;
  std::unique_ptr<QkCircuit, CircuitDeleter> circuit_;
  std::vector<double> starts_;
  std::size_t next_start_ = 0;  // in plan_.starts, of the next run's first pulse
  std::vector<double> cursor_;  // by qubit: the time up to which it is written
  std::vector<const QkParam*> params_;
  std::vector<QkComplex64> matrix_;
};

// The plan as Python objects, for writers outside this module: (order, starts, ends, runs),
// with runs a list of (position, qubit, (pulse start, ...)); a run at position len(order)
// follows the qubit's last operation.
PyObject* plan_to_python(const Reading& reading, const DdPlan& plan) {
  const std::size_t ops = reading.order.size();
  Ref order = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(ops))));
  Ref starts = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(ops))));
  Ref ends = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(ops))));
  std::span<const ScheduleEntry> schedule = reading.core.schedule();
  for (std::size_t i = 0; i < ops; ++i) {
    PyList_SET_ITEM(order.get(), i, check(PyLong_FromUnsignedLong(reading.order[i])));
    PyList_SET_ITEM(starts.get(), i, check(PyFloat_FromDouble(schedule[i].start_time)));
    PyList_SET_ITEM(ends.get(), i, check(PyFloat_FromDouble(schedule[i].end_time)));
  }
  Ref runs = Ref::steal(check(PyList_New(0)));
  std::size_t next_start = 0;
  for (const DdRun& run : plan.runs) {
    Ref times = Ref::steal(check(PyTuple_New(run.count)));
    for (std::uint32_t k = 0; k < run.count; ++k) {
      PyTuple_SET_ITEM(times.get(), k, check(PyFloat_FromDouble(plan.starts[next_start++])));
    }
    Ref item = Ref::steal(check(Py_BuildValue("(KKO)", static_cast<unsigned long long>(run.before),
                                              static_cast<unsigned long long>(run.qubit), times.get())));
    if (PyList_Append(runs.get(), item.get()) < 0) throw PythonError{};
  }
  return check(Py_BuildValue("(OOOO)", order.get(), starts.get(), ends.get(), runs.get()));
}

// The list of start times, None for negative entries, whole numbers as ints.
PyObject* start_list(const std::vector<double>& start) {
  const std::size_t size = start.size();
  Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(size))));
  for (std::uint32_t i = 0; i < size; ++i) {
    PyObject* item;
    if (start[i] < 0) {
      item = Py_NewRef(Py_None);
    } else if (start[i] == std::floor(start[i]) && std::abs(start[i]) < 9e15) {
      item = check(PyLong_FromLongLong(static_cast<long long>(start[i])));
    } else {
      item = check(PyFloat_FromDouble(start[i]));
    }
    PyList_SET_ITEM(list.get(), i, item);
  }
  return list.release();
}

// The start time of every operation of a padded DAG, as a list indexed by node index (None
// at the indices of wire nodes). Every qubit of a padded DAG is busy from 0 to its end, so
// an operation starts when the last of its qubits became free.
PyObject* start_times(QkDag* dag, const std::vector<double>& written, const DurationTable& table) {
  const std::size_t ops = qk_dag_num_op_nodes(dag);
  // A circuit becomes a DAG with its operations numbered in order after the wire nodes.
  const std::size_t wires = 2 * (std::size_t{qk_dag_num_qubits(dag)} + qk_dag_num_clbits(dag));
  auto is_op = [&](std::size_t node) {
    return qk_dag_node_type(dag, static_cast<std::uint32_t>(node)) == QkDagNodeType_Operation;
  };
  if (ops > 0 && ops == written.size() && !is_op(wires - 1) && is_op(wires) &&
      is_op(wires + ops - 1)) {
    std::vector<double> start(wires, -1.0);
    start.insert(start.end(), written.begin(), written.end());
    return start_list(start);
  }
  std::vector<std::uint32_t> order(ops);
  if (ops > 0) qk_dag_topological_op_nodes(dag, order.data());
  std::uint32_t size = 0;
  for (std::uint32_t node : order) size = std::max(size, node + 1);
  std::vector<double> start(size, -1.0);
  std::vector<double> free(qk_dag_num_qubits(dag), 0.0);
  for (std::uint32_t node : order) {
    QkCircuitInstructionView view;
    qk_dag_view_instruction(dag, node, &view);
    double t = 0.0;
    for (std::uint32_t k = 0; k < view.num_qubits; ++k) t = std::max(t, free[view.qubits[k]]);
    double duration = 0.0;
    switch (qk_dag_op_node_kind(dag, node)) {
      case QkOperationKind_Barrier:
        break;
      case QkOperationKind_Delay:
        duration = qk_param_as_real(view.params);
        break;
      default:
        if (const double* found = table.find({view.name, view.name_len}, view.qubits, view.num_qubits)) {
          duration = *found;
        }
    }
    start[node] = t;
    for (std::uint32_t k = 0; k < view.num_qubits; ++k) free[view.qubits[k]] = t + duration;
  }
  return start_list(start);
}


// Reads, plans and writes one input; `finish` turns the written circuit into the result.
template <class Source, class Finish>
PyObject* pad_source(const Source& source, PyObject* write_obj, PyObject* table_obj,
                     PyObject* delays, PyObject* pulses_obj, PyObject* durations_obj,
                     PyObject* couplings_obj, PyObject* options_obj, Finish finish) {
  const DurationTable table(table_obj);
  const Inputs in = to_inputs(source.num_qubits(), pulses_obj, durations_obj, couplings_obj,
                              options_obj);
  Reading reading = read(source, table, delays, in.options);
  const DdPlan plan = schedule_and_plan(reading, in);
  // Whole repetitions of the sequence, which the global-phase correction counts: a run may
  // hold several.
  std::size_t sequences = 0;  // to_inputs refuses a sequence of no pulses
  for (const DdRun& run : plan.runs) sequences += run.count / in.n;
  const int write = PyObject_IsTrue(write_obj);
  if (write < 0) throw PythonError{};
  if (!write || !reading.writable || !in.pulses_native) {
    Ref layout = Ref::steal(plan_to_python(reading, plan));
    return Py_BuildValue("(OnnO)", Py_False, static_cast<Py_ssize_t>(sequences),
                         static_cast<Py_ssize_t>(plan.dropped), layout.get());
  }
  Writer<Source> writer(source, reading, plan, in);
  const double length = writer.write();
  Ref result = Ref::steal(finish(writer, table));
  return Py_BuildValue("(Onn(OdO))", Py_True, static_cast<Py_ssize_t>(sequences),
                       static_cast<Py_ssize_t>(plan.dropped), PyTuple_GET_ITEM(result.get(), 0),
                       length, PyTuple_GET_ITEM(result.get(), 1));
}

template <class Body>
PyObject* guarded(Body body) {
  try {
    return body();
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error without an exception");
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return nullptr;
  }
}

// The arguments both entry points take after their input: (input, write, durations, delays,
// pulses, pulse_durations, couplings, options). `borrow` reaches the input through Qiskit's C
// API (null with a Python exception set).
template <class Source, class Borrow, class Finish>
PyObject* pad_entry(PyObject* args, Borrow borrow, Finish finish) {
  return guarded([&]() -> PyObject* {
    PyObject *input, *write_obj, *table_obj, *delays, *pulses_obj, *durations_obj,
        *couplings_obj, *options_obj;
    if (!PyArg_ParseTuple(args, "OOOO!OOOO", &input, &write_obj, &table_obj, &PyDict_Type,
                          &delays, &pulses_obj, &durations_obj, &couplings_obj, &options_obj)) {
      return nullptr;
    }
    auto* native = borrow(input);
    if (native == nullptr) return nullptr;
    return pad_source(Source(native), write_obj, table_obj, delays, pulses_obj, durations_obj,
                      couplings_obj, options_obj, finish);
  });
}

// pad(dag, write, durations, delays, pulses, pulse_durations, couplings, options)
PyObject* pad(PyObject*, PyObject* args) {
  return pad_entry<DagSource>(
      args, qk_dag_borrow_from_python,
      [](Writer<DagSource>& writer, const DurationTable& table) {
        std::unique_ptr<QkDag, DagDeleter> padded(qk_circuit_to_dag(writer.circuit()));
        Ref times = Ref::steal(start_times(padded.get(), writer.starts(), table));
        Ref out = Ref::steal(check(qk_dag_to_python(padded.release())));
        return check(PyTuple_Pack(2, out.get(), times.get()));
      });
}

// pad_circuit(circuit_data, write, durations, delays, pulses, pulse_durations, couplings, options)
PyObject* pad_circuit(PyObject*, PyObject* args) {
  return pad_entry<CircuitSource>(
      args, qk_circuit_borrow_from_python,
      [](Writer<CircuitSource>& writer, const DurationTable&) {
        // The circuit is written in the order of its start times' list.
        Ref times = Ref::steal(start_list(writer.starts()));
        Ref out = Ref::steal(check(qk_circuit_to_python_full(writer.release())));
        return check(PyTuple_Pack(2, out.get(), times.get()));
      });
}

PyMethodDef kMethods[] = {
    {"pad", pad, METH_VARARGS,
     "pad(dag, write, durations, delays, pulses, pulse_durations, couplings, options)\n--\n\n"
     "Plans dynamical-decoupling pulses for a DAGCircuit. With `write`, and where every\n"
     "operation and pulse can be written natively, returns (True, sequences, dropped,\n"
     "(padded DAGCircuit, length, start times by node index)); otherwise (False, sequences,\n"
     "dropped, (order, starts, ends, runs)) for a writer in Python."},
    {"pad_circuit", pad_circuit, METH_VARARGS,
     "pad_circuit(circuit_data, write, durations, delays, pulses, pulse_durations, couplings, "
     "options)\n--\n\n"
     "pad() for a QuantumCircuit's CircuitData, read in the order the pass reads its DAG\n"
     "(delays are keyed by position); the written result is (padded QuantumCircuit, length, start time of each\n"
     "of its instructions). The interpreter lock is released while the core schedules and\n"
     "plans, so threads can pad several circuits at once."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "vornak._bridge",
    "The native link between Qiskit's DAGCircuit and the vornak DD planner.", -1, kMethods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vornak::bridge

PyMODINIT_FUNC PyInit__bridge() {
  using namespace vornak::bridge;
  if (qk_import() < 0) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_Format(PyExc_ImportError, "vornak._bridge cannot reach Qiskit's C API: %S", value);
    Py_XDECREF(value);
    return nullptr;
  }
  const std::uint32_t built = QISKIT_VERSION_HEX;
  const std::uint32_t running = qk_api_version();
  // The function table grows within a major version; the module needs at least the entries
  // of the version it was built against.
  if ((running >> 24) != (built >> 24) || ((running >> 16) & 0xff) < ((built >> 16) & 0xff)) {
    PyErr_Format(PyExc_ImportError,
                 "vornak._bridge was built for Qiskit %s's C API, which the running Qiskit "
                 "(C API version %u.%u) does not provide; reinstall vornak against it",
                 QISKIT_VERSION, running >> 24, (running >> 16) & 0xff);
    return nullptr;
  }
  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  if (PyModule_AddStringConstant(module, "QISKIT_VERSION", QISKIT_VERSION) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
