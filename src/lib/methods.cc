// The methods of QuantumDAG. Every call runs the same steps (call_method): match the
// arguments, check self and the calling thread, take the method's access, convert the
// arguments in parameter order, run the core operation, build the result, release.
#include "lib/methods.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "dd/pass.h"
#include "graph/ingest.h"
#include "graph/schedule.h"
#include "lib/args.h"
#include "lib/convert.h"
#include "lib/dag_type.h"
#include "lib/errors.h"
#include "lib/pyref.h"

namespace vornak::py {
namespace {

// --- The call mechanism ---------------------------------------------------------------

// Converts the argument of parameter `name`; an error of exactly TypeError is replaced by
// TypeError("argument '<name>': <message>") that keeps the original's cause.
template <typename Convert>
auto argument(const char* name, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError&) {
    PyObject* error = PyErr_GetRaisedException();
    if (error == nullptr || Py_TYPE(error) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
      PyErr_SetRaisedException(error);
      throw;
    }
    Ref original = Ref::steal(error);
    Ref text = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", name, original.get()));
    if (!text) throw;
    Ref wrapped = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    if (!wrapped) throw;
    PyException_SetCause(wrapped.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(wrapped.release());
    throw;
  }
}

// A new reference made by the interpreter for a result; a failure to make it is an
// internal failure, after the interpreter's error has been printed.
PyObject* made(PyObject* obj) {
  if (obj == nullptr) {
    if (PyErr_Occurred()) PyErr_Print();
    throw InternalFailure("Python API call failed");
  }
  return obj;
}

PyQuantumDAG* as_dag(PyObject* self) {
  PyObject* type = check(quantum_dag_type());
  if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
    raise_cast_error(self, "QuantumDAG");
  }
  return reinterpret_cast<PyQuantumDAG*>(self);
}

template <Access access, typename Body>
PyObject* call_method(PyObject* self, Body&& body) {
  PyQuantumDAG* dag = as_dag(self);
  check_owner_thread(dag);
  Borrow hold(dag, access);
  return body(dag->dag);
}

// A METH_FASTCALL | METH_KEYWORDS entry point.
template <const ArgumentSpec& spec, Access access, auto body>
PyObject* with_arguments(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return entry(
      [&] {
        PyObject* slots[kMaxSlots];
        parse_vector(spec, args, nargs, kwnames, slots);
        return call_method<access>(self, [&](QuantumDAG& dag) { return body(dag, slots); });
      },
      static_cast<PyObject*>(nullptr));
}

// A METH_NOARGS entry point.
template <Access access, auto body>
PyObject* without_arguments(PyObject* self, PyObject*) noexcept {
  return entry([&] { return call_method<access>(self, body); }, static_cast<PyObject*>(nullptr));
}

PyObject* none() { return Py_NewRef(Py_None); }

// --- Argument specs ---------------------------------------------------------------------

constexpr const char* kEdges[] = {"edges"};
constexpr const char* kAddGate[] = {"name", "qubits", "duration_ns", "params"};
constexpr const char* kInstructions[] = {"instructions"};
constexpr const char* kNodeId[] = {"node_id"};
constexpr const char* kMinGap[] = {"min_gap_ns"};
constexpr const char* kDdPass[] = {"sequence", "pulse_durations", "num_qubits"};

constexpr ArgumentSpec kSetCouplingMapSpec{"QuantumDAG", "set_coupling_map", kEdges, 0, 1, {}};
constexpr ArgumentSpec kAddGateSpec{"QuantumDAG", "add_gate", kAddGate, 0, 3, {}};
constexpr ArgumentSpec kBuildFromIrSpec{"QuantumDAG", "build_from_ir", kInstructions, 0, 1, {}};
constexpr ArgumentSpec kGetNodeScheduleSpec{"QuantumDAG", "get_node_schedule", kNodeId, 0, 1, {}};
constexpr ArgumentSpec kFindIdleWindowsSpec{"QuantumDAG", "find_idle_windows", kMinGap, 0, 1, {}};
constexpr ArgumentSpec kApplyDdPassSpec{"QuantumDAG", "apply_dd_pass", kDdPass, 0, 0, {}};

// --- Methods --------------------------------------------------------------------------

PyObject* set_coupling_map(QuantumDAG& dag, PyObject* const* args) {
  std::vector<std::pair<Qubit, Qubit>> edges;
  argument("edges", [&] {
    for_each_item(
        args[0], [&](std::size_t n) { edges.reserve(n); },
        [&](PyObject* item) {
          check_tuple(item, 2);
          Qubit a = to_u64(PyTuple_GET_ITEM(item, 0));
          edges.emplace_back(a, to_u64(PyTuple_GET_ITEM(item, 1)));
        });
  });
  dag.add_couplings(edges);
  return made(none());
}

PyObject* node_count(const QuantumDAG& dag) {
  return made(PyLong_FromUnsignedLongLong(dag.node_count()));
}

PyObject* add_gate(QuantumDAG& dag, PyObject* const* args) {
  QuantumDAG::NodeDraft draft(dag);
  std::uint32_t name = argument("name", [&] { return dag.strings().intern(to_text(args[0])); });
  NodeStore& node = draft.nodes();
  argument("qubits", [&] { push_qubits(args[1], node); });
  double duration = argument("duration_ns", [&] { return to_double(args[2]); });
  if (args[3] != nullptr && args[3] != Py_None) {
    argument("params", [&] {
      push_params(
          args[3], [&](PyObject* key) { return dag.strings().intern(to_text(key)); }, node);
    });
  }
  return made(PyLong_FromUnsignedLongLong(draft.insert(name, duration)));
}

PyObject* build_from_ir(QuantumDAG& dag, PyObject* const* args) {
  NodeStore batch;
  StringPool::Checkpoint batch_texts(dag.strings());  // forgotten if the batch is refused
  TextCache texts(dag.strings());
  argument("instructions", [&] {
    for_each_item(
        // Room for two qubits and one parameter a node: most circuits need no more.
        args[0], [&](std::size_t n) { batch.reserve(n, 2 * n, n); },
        [&](PyObject* item) { push_instruction(item, texts, batch); });
  });
  batch_texts.keep();
  vornak::build_from_ir(dag, std::move(batch));
  return made(none());
}

PyObject* build_schedule(QuantumDAG& dag) {
  vornak::build_schedule(dag);
  return made(none());
}

PyObject* float_pair(double first, double second) {
  Ref a = Ref::steal(made(PyFloat_FromDouble(first)));
  Ref b = Ref::steal(made(PyFloat_FromDouble(second)));
  PyObject* pair = made(PyTuple_New(2));
  PyTuple_SET_ITEM(pair, 0, a.release());
  PyTuple_SET_ITEM(pair, 1, b.release());
  return pair;
}

PyObject* get_node_schedule(const QuantumDAG& dag, PyObject* const* args) {
  NodeId id = argument("node_id", [&] { return to_u64(args[0]); });
  std::optional<ScheduleEntry> entry = dag.node_schedule(id);
  if (!entry) return made(none());
  return float_pair(entry->start_time, entry->end_time);
}

PyObject* find_idle_windows(const QuantumDAG& dag, PyObject* const* args) {
  double min_gap = argument("min_gap_ns", [&] { return to_double(args[0]); });
  std::vector<IdleWindow> windows = vornak::find_idle_windows(dag, min_gap);
  Ref list = Ref::steal(made(PyList_New(static_cast<Py_ssize_t>(windows.size()))));
  for (std::size_t i = 0; i < windows.size(); ++i) {
    Ref qubit = Ref::steal(made(PyLong_FromUnsignedLongLong(windows[i].qubit)));
    Ref start = Ref::steal(made(PyFloat_FromDouble(windows[i].gap_start)));
    Ref end = Ref::steal(made(PyFloat_FromDouble(windows[i].gap_end)));
    PyObject* window = made(PyTuple_New(3));
    PyTuple_SET_ITEM(window, 0, qubit.release());
    PyTuple_SET_ITEM(window, 1, start.release());
    PyTuple_SET_ITEM(window, 2, end.release());
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), window);
  }
  return list.release();
}

PyObject* apply_dd_pass(const QuantumDAG& dag, PyObject* const* args) {
  std::string_view sequence = "XY";
  if (args[0] != nullptr) sequence = argument("sequence", [&] { return to_text(args[0]); });
  std::unordered_map<Qubit, double> pulse_durations;
  if (args[1] != nullptr && args[1] != Py_None) {
    pulse_durations = argument("pulse_durations", [&] { return to_pulse_durations(args[1]); });
  }
  std::uint64_t num_qubits = 0;
  if (args[2] != nullptr) num_qubits = argument("num_qubits", [&] { return to_u64(args[2]); });
  QuantumDAG result = vornak::apply_dd_pass(dag, sequence, pulse_durations, num_qubits);
  return wrap_core_record(std::move(result));
}

// One str per distinct pool text, made on first use and shared within one export.
class StrCache {
 public:
  explicit StrCache(const StringPool& strings) : strings_(strings), strs_(strings.size()) {}
  PyObject* get(std::uint32_t id) {
    Ref& str = strs_[id];
    if (!str) {
      std::string_view text = strings_.text(id);
      str = Ref::steal(
          made(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
    }
    return str.get();
  }

 private:
  const StringPool& strings_;
  std::vector<Ref> strs_;
};

// Makes float objects, handing out one shared object for a value (bit for bit) met
// recently: circuits repeat a few durations and parameter values many times.
class FloatCache {
 public:
  // Returns a new reference.
  PyObject* get(double value) {
    auto bits = std::bit_cast<std::uint64_t>(value);
    Entry& entry = entries_[(bits * 0x9e3779b97f4a7c15ULL) >> (64 - kBits)];
    if (!entry.obj || entry.bits != bits) {
      entry.obj = Ref::steal(made(PyFloat_FromDouble(value)));
      entry.bits = bits;
    }
    return Py_NewRef(entry.obj.get());
  }

 private:
  static constexpr int kBits = 8;
  struct Entry {
    std::uint64_t bits = 0;
    Ref obj;
  };
  std::array<Entry, std::size_t{1} << kBits> entries_;
};

bool same_params(std::span<const Param> a, std::span<const Param> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Param& x, const Param& y) {
    return x.key == y.key &&
           std::bit_cast<std::uint64_t>(x.value) == std::bit_cast<std::uint64_t>(y.value);
  });
}

PyObject* get_all_nodes(const QuantumDAG& dag) {
  StrCache strs(dag.strings());
  FloatCache floats;
  // The last non-empty parameter dict made, and the parameters it holds: a node with the
  // same parameters (a run of pulses, say) gets a copy of it.
  std::span<const Param> last_params;
  Ref last_dict;
  Ref list = Ref::steal(made(PyList_New(static_cast<Py_ssize_t>(dag.node_count()))));
  for (NodeId id = 0; id < dag.next_id(); ++id) {
    GateNode node = dag.node(id);
    Ref qubits = Ref::steal(made(PyList_New(static_cast<Py_ssize_t>(node.qubits.size()))));
    for (std::size_t i = 0; i < node.qubits.size(); ++i) {
      PyList_SET_ITEM(qubits.get(), static_cast<Py_ssize_t>(i),
                      made(PyLong_FromUnsignedLongLong(node.qubits[i])));
    }
    Ref duration = Ref::steal(floats.get(node.duration_ns));
    Ref params;
    if (!node.params.empty() && last_dict && same_params(node.params, last_params)) {
      params = Ref::steal(made(PyDict_Copy(last_dict.get())));
    } else {
      params = Ref::steal(made(PyDict_New()));
      for (const Param& param : node.params) {
        Ref value = Ref::steal(floats.get(param.value));
        if (PyDict_SetItem(params.get(), strs.get(param.key), value.get()) < 0) {
          throw_python_error();
        }
      }
      if (!node.params.empty()) {
        last_params = node.params;
        last_dict = Ref::borrow(params.get());
      }
    }
    PyObject* tuple = made(PyTuple_New(4));
    PyTuple_SET_ITEM(tuple, 0, Py_NewRef(strs.get(node.name)));
    PyTuple_SET_ITEM(tuple, 1, qubits.release());
    PyTuple_SET_ITEM(tuple, 2, duration.release());
    PyTuple_SET_ITEM(tuple, 3, params.release());
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(id), tuple);
  }
  return list.release();
}

// The method table stores every entry function as a PyCFunction.
template <auto body>
PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(body));
}

}  // namespace

PyMethodDef quantum_dag_methods[] = {
    {"set_coupling_map",
     fastcall<with_arguments<kSetCouplingMapSpec, Access::exclusive, set_coupling_map>>(),
     METH_FASTCALL | METH_KEYWORDS, "set_coupling_map($self, edges)\n--\n\n"},
    {"node_count", without_arguments<Access::shared, node_count>, METH_NOARGS,
     "node_count($self)\n--\n\nReturns the total number of nodes in the DAG."},
    {"add_gate", fastcall<with_arguments<kAddGateSpec, Access::exclusive, add_gate>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "add_gate($self, name, qubits, duration_ns, params=None)\n--\n\n"
     "Adds a gate node to the graph and connects dependent edges."},
    {"build_from_ir", fastcall<with_arguments<kBuildFromIrSpec, Access::exclusive, build_from_ir>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "build_from_ir($self, instructions)\n--\n\n"
     "Reads an IR constructed by a framework adapter and builds the DAG."},
    {"build_schedule", without_arguments<Access::exclusive, build_schedule>, METH_NOARGS,
     "build_schedule($self)\n--\n\nComputes the schedule (start and end times) for all nodes."},
    {"get_node_schedule",
     fastcall<with_arguments<kGetNodeScheduleSpec, Access::shared, get_node_schedule>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "get_node_schedule($self, node_id)\n--\n\n"
     "Retrieves the schedule for a specific node as (start_time, end_time)."},
    {"find_idle_windows",
     fastcall<with_arguments<kFindIdleWindowsSpec, Access::shared, find_idle_windows>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "find_idle_windows($self, min_gap_ns)\n--\n\n"
     "Finds idle windows on qubits where the gap between operations is >= min_gap_ns."},
    {"apply_dd_pass", fastcall<with_arguments<kApplyDdPassSpec, Access::shared, apply_dd_pass>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "apply_dd_pass($self, sequence=\"XY\", pulse_durations=None, num_qubits=0)\n--\n\n"
     "Dynamically inserts Dynamical Decoupling (DD) sequences on idle qubits."},
    {"get_all_nodes", without_arguments<Access::shared, get_all_nodes>, METH_NOARGS,
     "get_all_nodes($self)\n--\n\n"
     "Exports all operations in topological order a list of tuples (name, qubits, duration)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vornak::py
