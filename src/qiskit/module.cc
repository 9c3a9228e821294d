// vornak._bridge: runs the DD planner of src/graph on a Qiskit DAGCircuit or circuit through
// Qiskit's C API, and writes the padded circuit back. The entry points and the module.
#include "qiskit/capi.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "dd/plan.h"
#include "lib/pyref.h"
#include "qiskit/circuit_copies.h"
#include "qiskit/circuit_order.h"
#include "qiskit/duration_table.h"
#include "qiskit/dynamic_plan.h"
#include "qiskit/frame_fold.h"
#include "qiskit/options.h"
#include "qiskit/plan.h"
#include "qiskit/plan_layout.h"
#include "qiskit/pulse_frames.h"
#include "qiskit/python_values.h"
#include "qiskit/reader.h"
#include "qiskit/source.h"
#include "qiskit/start_times.h"
#include "qiskit/writer.h"

namespace vornak::bridge {
namespace {

using py::Ref;

// The whole numbers of list `list`, each below 2**32; a TypeError or ValueError naming
// `what` otherwise.
std::vector<std::uint32_t> uint32_list(PyObject* list, const char* what) {
  if (!PyList_Check(list)) fail(PyExc_TypeError, std::string(what) + " must be a list");
  const Py_ssize_t n = PyList_Size(list);
  std::vector<std::uint32_t> out;
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::borrow(PyList_GetItem(list, i));  // held while it is read
    const unsigned long long value = PyLong_AsUnsignedLongLong(check(item.get()));
    if (PyErr_Occurred()) throw PythonError{};
    if (value > 0xFFFFFFFFull) fail(PyExc_ValueError, std::string(what) + " holds too large a number");
    out.push_back(static_cast<std::uint32_t>(value));
  }
  return out;
}

// A new list of `values`.
PyObject* index_list(const std::vector<std::int64_t>& values) {
  Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(values.size()))));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* value = check(PyLong_FromLongLong(values[i]));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value);  // steals it
  }
  return list.release();
}

// Reads, plans and writes one input; `finish` turns the written circuit into the result:
// the padded object, its start times, and where the input's labelled instructions went
// (null where no labels were given).
template <class Finish>
PyObject* pad_source(const Source& source, PyObject* write_obj, PyObject* delays,
                     PyObject* stores, PyObject* options_obj, PyObject* plan_obj,
                     Finish finish) {
  const DurationTable table(field(plan_obj, "plan", "table").get());
  const Inputs in = to_inputs(source.num_qubits(), options_obj, plan_obj);
  Reading reading = read(source, table, delays, in.options, stores);
  const DdPlan plan = schedule_and_plan(reading, in);
  // Whole repetitions of the sequence, which the global-phase correction counts: a run may
  // hold several.
  std::size_t sequences = 0;  // to_inputs refuses a sequence of no pulses
  for (const DdRun& run : plan.runs) sequences += run.count / in.n;
  const int write = PyObject_IsTrue(write_obj);
  if (write < 0) throw PythonError{};
  std::vector<double> frames = run_frames(source, reading, plan, in);
  if (!write || !reading.writable || !in.pulses_native) {
    Ref layout = Ref::steal(
        plan_to_python(reading, plan, frame_folds(source, reading, plan, in, frames), frames));
    return Py_BuildValue("(OnnO)", Py_False, static_cast<Py_ssize_t>(sequences),
                         static_cast<Py_ssize_t>(plan.dropped), layout.get());
  }
  Writer writer(source, reading, plan, in, std::move(frames));
  const double length = writer.write();
  const auto [out, times, placed] = finish(writer, table);
  if (placed) {
    return Py_BuildValue("(Onn(OdOO))", Py_True, static_cast<Py_ssize_t>(sequences),
                         static_cast<Py_ssize_t>(plan.dropped), out.get(), length, times.get(),
                         placed.get());
  }
  return Py_BuildValue("(Onn(OdO))", Py_True, static_cast<Py_ssize_t>(sequences),
                       static_cast<Py_ssize_t>(plan.dropped), out.get(), length, times.get());
}

// The arguments both entry points take: (input, write, delays, options, plan[, stores[,
// labelled]]), `options` and `plan` as to_inputs() reads them. `source` reaches the input
// through Qiskit's C API, or returns nothing where the input cannot be read natively: the
// call then returns None. `stores` (a dict or None) goes to read(); `labelled`, a list of
// positions or None, to Source::set_labelled.
// Every Qiskit call is made with the interpreter lock held; only the core's scheduling and
// planning run without it.
template <class MakeSource, class Finish>
PyObject* pad_entry(PyObject* args, MakeSource source, Finish finish) {
  return guarded([&]() -> PyObject* {
    PyObject *input, *write_obj, *delays, *options_obj, *plan_obj, *stores = Py_None,
        *labelled = Py_None;
    // No '#' format: under the limited API of CPython 3.10 to 3.12 its length would be an
    // int, from 3.13 a Py_ssize_t.
    if (!PyArg_ParseTuple(args, "OOO!OO|OO", &input, &write_obj, &PyDict_Type, &delays,
                          &options_obj, &plan_obj, &stores, &labelled)) {
      return nullptr;
    }
    if (stores != Py_None && !PyDict_Check(stores)) fail(PyExc_TypeError, "stores must be a dict");
    std::optional<std::vector<std::uint32_t>> positions;
    if (labelled != Py_None) positions = uint32_list(labelled, "labelled");
    std::optional<Source> read = source(input);
    if (!read) return Py_NewRef(Py_None);
    if (positions) read->set_labelled(*positions);
    return pad_source(*read, write_obj, delays, stores == Py_None ? nullptr : stores,
                      options_obj, plan_obj, finish);
  });
}

// Whether the circuit data `data` can be borrowed for the C API here. Qiskit's
// qk_circuit_borrow_from_python takes its exclusive borrow and aborts the process where
// another borrow is held: by another thread that runs Python code while it reads the same
// circuit (Qiskit's circuit_to_dag copying its operations, say), or by a call of the
// circuit's own whose callback pads it. The data's reserve(0) takes the same borrow and
// raises RuntimeError instead; no Python code runs between it and the borrow, so no other
// thread takes one in between.
bool exclusive(PyObject* data) {
  Ref done = Ref::steal(PyObject_CallMethod(data, "reserve", "n", Py_ssize_t{0}));
  if (done) return true;
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return true;  // not circuit data: the borrow refuses it with a TypeError
  }
  if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) throw PythonError{};
  PyErr_Clear();
  return false;
}

// Whether circuit data `data` holds classical variables (input, captured or declared).
bool has_vars(PyObject* data) {
  for (const char* count : {"num_input_vars", "num_captured_vars", "num_declared_vars"}) {
    Ref n = Ref::steal(check(PyObject_GetAttrString(data, count)));
    const int nonzero = PyObject_IsTrue(n.get());
    if (nonzero < 0) throw PythonError{};
    if (nonzero) return true;
  }
  return false;
}

// pad(dag, write, delays, options, plan)
PyObject* pad(PyObject*, PyObject* args) {
  return pad_entry(
      args,
      [](PyObject* input) {
        QkDag* dag = qk_dag_borrow_from_python(input);
        if (dag == nullptr) throw PythonError{};
        return std::optional<Source>(Source::of_dag(dag, input));
      },
      [](Writer& writer, const DurationTable& table) {
        Ref out = dag_of_data(writer.data());
        QkDag* padded = qk_dag_borrow_from_python(out.get());
        if (padded == nullptr) throw PythonError{};
        Ref times = Ref::steal(start_times(padded, writer.starts(), table));
        return std::tuple{std::move(out), std::move(times), Ref()};
      });
}

// pad_circuit_data(circuit_data, write, delays, options, plan)
PyObject* pad_circuit_data(PyObject*, PyObject* args) {
  return pad_entry(
      args,
      [](PyObject* input) {
        if (!exclusive(input)) return std::optional<Source>();
        QkCircuit* circuit = qk_circuit_borrow_from_python(input);
        if (circuit == nullptr) throw PythonError{};
        if (!Source::readable(circuit)) return std::optional<Source>();
        return std::optional<Source>(Source::of_circuit(circuit, input, has_vars(input)));
      },
      [](Writer& writer, const DurationTable&) {
        // The circuit is written in the order of its start times' list.
        Ref times = Ref::steal(start_list(writer.starts()));
        Ref out = Ref::steal(writer.to_python());
        Ref placed;
        if (writer.placed().size() > 0) placed = Ref::steal(index_list(writer.placed()));
        return std::tuple{std::move(out), std::move(times), std::move(placed)};
      });
}

// circuit_order(circuit_data): the positions of the circuit's instructions in the order
// pad_circuit_data reads them, where it finds that order itself (else None): for the tests,
// which hold it against Qiskit's topological_op_nodes.
PyObject* circuit_order(PyObject*, PyObject* data) {
  return guarded([&]() -> PyObject* {
    if (!exclusive(data)) return Py_NewRef(Py_None);
    QkCircuit* circuit = qk_circuit_borrow_from_python(data);
    if (circuit == nullptr) throw PythonError{};
    std::optional<std::vector<std::uint32_t>> order = lexicographic_order(circuit);
    if (!order) return Py_NewRef(Py_None);
    std::vector<double> positions(order->begin(), order->end());
    return start_list(positions);
  });
}

// plan_dynamic(circuit, options, plan, stretch, describe): see DynamicPlanner, whose
// schedules end within MAX_EXACT_DT (blocks whose operations times the plan's "step" may end
// beyond it are not padded natively). None where the circuit cannot be padded natively.
PyObject* plan_dynamic(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *python, *options_obj, *plan_obj, *stretch_obj, *describe;
    if (!PyArg_ParseTuple(args, "OOOOO", &python, &options_obj, &plan_obj, &stretch_obj,
                          &describe)) {
      return nullptr;
    }
    const int stretch = PyObject_IsTrue(stretch_obj);
    if (stretch < 0) throw PythonError{};
    const double step = to_double(field(plan_obj, "plan", "step").get());
    py::Ref input = py::Ref::steal(check(PyObject_GetAttrString(python, "_data")));
    if (!exclusive(input.get())) return Py_NewRef(Py_None);
    QkCircuit* circuit = qk_circuit_borrow_from_python(input.get());
    if (circuit == nullptr) throw PythonError{};
    const DurationTable table(field(plan_obj, "plan", "table").get());
    const Inputs in = to_inputs(qk_circuit_num_qubits(circuit), options_obj, plan_obj);
    if (!in.pulses_native) return Py_NewRef(Py_None);
    DynamicPlanner planner(table, in, stretch != 0, describe, step, kMaxExactDt);
    py::Ref result;
    try {
      result = py::Ref::steal(planner.plan(circuit, python));
    } catch (const NotNative&) {
      return Py_NewRef(Py_None);
    }
    return Py_BuildValue("(Onn)", result.get(), static_cast<Py_ssize_t>(planner.inserted()),
                         static_cast<Py_ssize_t>(planner.dropped()));
  });
}

#ifdef VORNAK_CHECK_LOCK
// _check_lock(): marks the thread as plan.cc's WithoutLock does (without releasing the lock)
// and calls a Qiskit function, which must abort the process: for the test that shows the
// check is on in a build.
PyObject* check_lock_aborts(PyObject*, PyObject*) {
  lock_released = true;
  const std::uint32_t version = qk_api_version();
  lock_released = false;
  return PyLong_FromUnsignedLong(version);
}
#endif

PyMethodDef kMethods[] = {
#ifdef VORNAK_CHECK_LOCK
    {"_check_lock", check_lock_aborts, METH_NOARGS,
     "_check_lock()\n--\n\n"
     "Calls a Qiskit function as if the interpreter lock were released: aborts the process\n"
     "(in builds that check the lock, which alone have this function)."},
#endif
    {"pad", pad, METH_VARARGS,
     "pad(dag, write, delays, options, plan, stores=None, labelled=None)\n--\n\n"
     "Plans dynamical-decoupling pulses for a DAGCircuit. `delays`: the length of each\n"
     "delay by node index. `options`: the pass's frozen options, read by field (placement,\n"
     "scheduling, crosstalk, skip_reset_qubits, unit_dt, dt, max_free_time,\n"
     "pulse_alignment, acquire_alignment); `plan`: the plan of the circuit's width, read by\n"
     "field (table, pulses, pulse_durations, couplings, block, phases, noise). `stores`:\n"
     "the wires of each classical store by node index, a tuple of numbers (clbit c as c, the\n"
     "variables after the clbits); a store takes no time. With `write`, and where every\n"
     "operation and\n"
     "pulse can be written natively, returns (True, sequences, dropped, (padded DAGCircuit,\n"
     "length, start times by node index)); otherwise (False, sequences, dropped, (order,\n"
     "starts, ends, runs)) for a writer in Python."},
    {"pad_circuit_data", pad_circuit_data, METH_VARARGS,
     "pad_circuit_data(circuit_data, write, delays, options, plan, stores=None, labelled=None)\n"
     "--\n\n"
     "pad() for a QuantumCircuit's CircuitData, read in the order the pass reads its DAG\n"
     "(delays are keyed by position); the written result is (padded QuantumCircuit, length,\n"
     "start time of each of its instructions), and where `labelled` (a list of the positions\n"
     "of its labelled instructions, which the C API writes without their labels) is given,\n"
     "a fourth item: the index in the padded circuit of each, -1 for a delay. No run's\n"
     "closing frame change goes into a labelled rz. None for a circuit that the C API cannot\n"
     "read without Python (parameters or operations held as Python objects), or whose\n"
     "data another call is reading while it runs Python code. The\n"
     "interpreter lock is released while the core schedules and plans, so threads can pad\n"
     "several circuits at once."},
    {"circuit_order", circuit_order, METH_O,
     "circuit_order(circuit_data)\n--\n\n"
     "The positions of the circuit's instructions in the order pad_circuit_data reads them\n"
     "(that of Qiskit's topological_op_nodes on the circuit's DAG), where it finds that order\n"
     "without Qiskit's sort; else None."},
    {"plan_dynamic", plan_dynamic, METH_VARARGS,
     "plan_dynamic(circuit, options, plan, stretch, describe)\n--\n\n"
     "Pads a QuantumCircuit with control flow block by block, reading it and its bodies\n"
     "through the C API: (result, sequences, dropped), the result of the top level as\n"
     "vornak.qiskit.dynamic.native assembles it. `stretch`: whether idle qubits around\n"
     "control flow take stretch sequences; describe(body, indices): None for a body that\n"
     "cannot be padded natively, else the classical wires of each instruction at indices\n"
     "(see DynamicPlanner); blocks of n operations\n"
     "with n * plan.step above MAX_EXACT_DT are not padded natively. None for a circuit that the\n"
     "C API cannot read or write without Python."},
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
  if (import_qiskit() < 0) return nullptr;
  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  // The longest schedule whose times in dt are exact doubles: the Python side checks
  // against it where it writes a schedule itself.
  if (PyModule_AddStringConstant(module, "QISKIT_VERSION", QISKIT_VERSION) < 0 ||
      PyModule_AddObject(module, "MAX_EXACT_DT", PyFloat_FromDouble(kMaxExactDt)) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
