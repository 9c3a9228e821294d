#include "qiskit/dynamic_plan.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <string_view>

#include "dd/plan.h"
#include "qiskit/body_reader.h"
#include "qiskit/circuit_copies.h"
#include "qiskit/plan.h"
#include "qiskit/pulse_frames.h"
#include "qiskit/python_values.h"
#include "qiskit/reader.h"
#include "qiskit/source.h"
#include "qiskit/start_times.h"
#include "qiskit/writer.h"

namespace vornak::bridge {
namespace {

using py::Ref;

struct ControlFlowDeleter {
  void operator()(QkControlFlowInstruction* c) const { qk_control_flow_instruction_free(c); }
};
using ControlFlowPtr = std::unique_ptr<QkControlFlowInstruction, ControlFlowDeleter>;

PyObject* qubit_list_of(const std::vector<std::uint32_t>& qubits) {
  Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(qubits.size()))));
  for (std::size_t i = 0; i < qubits.size(); ++i) {
    set_list_item(list.get(), static_cast<Py_ssize_t>(i), PyLong_FromUnsignedLong(qubits[i]));
  }
  return list.release();
}

// An empty circuit with the bits, registers and variables of the body whose CircuitData is
// `data`, to write into: its CircuitData, and the circuit borrowed from it.
struct EmptyCopy {
  explicit EmptyCopy(PyObject* data) : data(empty_data_like(data)), circuit(borrow_circuit(this->data.get())) {}
  Ref data;
  QkCircuit* circuit;
};

// The wires of each of `boundaries` of `body` (a QuantumCircuit of `num_qubits` qubits) beyond
// its qubits and clbits, as `describe` tells them (see cut_body); NotNative where it says
// None.
std::vector<std::vector<std::uint32_t>> classical_wires(
    PyObject* describe, PyObject* body, const std::vector<std::uint32_t>& boundaries,
    std::uint32_t num_qubits) {
  Ref indices = Ref::steal(qubit_list_of(boundaries));
  Ref found =
      Ref::steal(check(PyObject_CallFunctionObjArgs(describe, body, indices.get(), nullptr)));
  if (found.get() == Py_None) throw NotNative{};
  Ref items = Ref::steal(check(PySequence_Tuple(found.get())));
  if (static_cast<std::size_t>(PyTuple_Size(items.get())) != boundaries.size()) {
    fail(PyExc_ValueError, "describe gave the wires of another number of instructions");
  }
  std::vector<std::vector<std::uint32_t>> wires(boundaries.size());
  for (std::size_t j = 0; j < boundaries.size(); ++j) {
    Ref own = Ref::steal(
        check(PySequence_Tuple(tuple_item(items.get(), static_cast<Py_ssize_t>(j)))));
    for (Py_ssize_t w = 0; w < PyTuple_Size(own.get()); ++w) {
      wires[j].push_back(num_qubits + to_u32(tuple_item(own.get(), w)));
    }
  }
  return wires;
}

// The bodies (QuantumCircuits) of the control-flow operation at `index` of `data`.
Ref blocks_of(PyObject* data, std::size_t index, std::size_t count) {
  Ref instruction = Ref::steal(check(PySequence_GetItem(data, static_cast<Py_ssize_t>(index))));
  Ref operation = Ref::steal(check(PyObject_GetAttrString(instruction.get(), "operation")));
  Ref blocks = Ref::steal(check(PySequence_Tuple(
      Ref::steal(check(PyObject_GetAttrString(operation.get(), "blocks"))).get())));
  if (static_cast<std::size_t>(PyTuple_Size(blocks.get())) != count) {
    fail(PyExc_ValueError, "a control-flow operation's bodies differ between Python and the C API");
  }
  return blocks;
}

// Updates `active` (by physical qubit: not in its initial state) after the instructions
// `indices` of `body`: a reset returns its qubits to it, other operations take them out.
void leave_block(const QkCircuit* body, const std::vector<std::uint32_t>& indices,
                 const std::vector<std::uint32_t>& physical, std::vector<char>& active) {
  for (std::uint32_t i : indices) {
    QkCircuitInstructionView view;
    qk_circuit_view_instruction(body, i, &view);
    const std::string_view name = name_of(view);
    for (std::uint32_t b = 0; b < view.num_qubits; ++b) {
      const std::uint32_t q = physical[view.qubits[b]];
      if (name == "reset") {
        active[q] = 0;
      } else if (name != "barrier" && name != "delay") {
        active[q] = 1;
      }
    }
  }
}

}  // namespace

DynamicPlanner::DynamicPlanner(const DurationTable& table, const Inputs& in, bool stretch,
                               PyObject* describe, double step, double max_time)
    : table_(table), in_(in), stretch_(stretch), describe_(describe), step_(step),
      max_time_(max_time), no_delays_(Ref::steal(check(PyDict_New()))) {}

PyObject* DynamicPlanner::plan(const QkCircuit* circuit, PyObject* python) {
  std::vector<std::uint32_t> physical(in_.nq);
  for (std::uint32_t q = 0; q < in_.nq; ++q) physical[q] = q;
  std::vector<char> active(in_.nq, 0);
  return body(circuit, python, physical, active, true);
}

PyObject* DynamicPlanner::body(const QkCircuit* body, PyObject* python,
                               const std::vector<std::uint32_t>& physical,
                               std::vector<char>& active, bool top) {
  const std::vector<std::uint32_t> boundaries = boundaries_of(body);
  const std::vector<std::vector<std::uint32_t>> classical =
      classical_wires(describe_, python, boundaries, qk_circuit_num_qubits(body));
  Ref data = Ref::steal(check(PyObject_GetAttrString(python, "_data")));
  const std::vector<CutLevel> levels = cut_body(body, boundaries, classical, copier_);
  const std::vector<double> last =
      top ? last_levels(body, levels, physical, in_.nq) : std::vector<double>();
  const auto lasts = [&](std::uint32_t q, double k) { return !top || last[q] >= k; };

  const EmptyCopy out(data.get());
  Ref found = Ref::steal(check(PyList_New(0)));
  bool after_boundary = false;  // blocks from here on go to segments of their own
  std::vector<std::uint32_t> marked, around;
  std::vector<char> touched;
  std::vector<double> starts;
  for (std::size_t k = 0; k < levels.size(); ++k) {
    const CutLevel& level = levels[k];
    Ref segment = Ref::borrow(Py_None), inserted = Ref::borrow(Py_None),
        start_list_obj = Ref::borrow(Py_None);
    if (!level.block.empty()) {
      // Qubits in use before the block and in it or after it.
      marked.clear();
      for (std::uint32_t q : physical) {
        if (active[q] && lasts(q, static_cast<double>(k))) marked.push_back(q);
      }
      std::optional<EmptyCopy> own;
      if (after_boundary) own.emplace(data.get());
      starts.clear();
      const std::size_t sequences =
          block(body, level.block, physical, marked, own ? own->circuit : out.circuit,
                top ? &starts : nullptr);
      inserted = Ref::steal(check(PyLong_FromSize_t(sequences)));
      if (top) start_list_obj = Ref::steal(start_list(starts));
      if (own) segment = circuit_of_data(own->data.get());
      leave_block(body, level.block, physical, active);
    }
    Ref boundary = Ref::steal(check(PyList_New(0)));
    Ref around_obj = Ref::steal(check(PyList_New(0)));
    if (!level.boundary.empty()) {
      after_boundary = true;
      around.clear();
      if (stretch_) {
        // Qubits in use before the boundary and after it, which it does not touch.
        touched.assign(in_.nq, 0);
        for (std::uint32_t i : level.boundary) {
          QkCircuitInstructionView view;
          qk_circuit_view_instruction(body, i, &view);
          for (std::uint32_t b = 0; b < view.num_qubits; ++b) touched[physical[view.qubits[b]]] = 1;
        }
        for (std::uint32_t q : physical) {
          if (active[q] && !touched[q] && in_.dd_qubit[q] &&
              (!top || last[q] > static_cast<double>(k))) {
            around.push_back(q);
          }
        }
      }
      for (std::uint32_t i : level.boundary) {
        Ref bodies = Ref::steal(control_flow(body, data.get(), i, physical, active));
        Ref item =
            Ref::steal(check(Py_BuildValue("(nO)", static_cast<Py_ssize_t>(i), bodies.get())));
        if (PyList_Append(boundary.get(), item.get()) < 0) throw PythonError{};
      }
      around_obj = Ref::steal(qubit_list_of(around));
    }
    Ref entry = Ref::steal(check(Py_BuildValue("(OOOOO)", segment.get(), inserted.get(),
                                               start_list_obj.get(), boundary.get(),
                                               around_obj.get())));
    if (PyList_Append(found.get(), entry.get()) < 0) throw PythonError{};
  }
  Ref out_obj = circuit_of_data(out.data.get());
  Ref physical_obj = Ref::steal(qubit_list_of(physical));
  return check(Py_BuildValue("(OOO)", out_obj.get(), found.get(), physical_obj.get()));
}

PyObject* DynamicPlanner::control_flow(const QkCircuit* body, PyObject* data, std::size_t index,
                                       const std::vector<std::uint32_t>& physical,
                                       std::vector<char>& active) {
  if (qk_circuit_instruction_kind(body, index) != QkOperationKind_ControlFlow) {
    return Py_NewRef(Py_None);
  }
  ControlFlowPtr op(qk_circuit_get_control_flow_instruction(body, index, nullptr));
  if (!op) fail(PyExc_RuntimeError, "Qiskit refused to read a control-flow operation");
  const std::size_t blocks = qk_control_flow_num_blocks(op.get());
  if (blocks == 0) return Py_NewRef(Py_None);  // break_loop, continue_loop: kept as they are
  QkCircuitInstructionView view;
  qk_circuit_view_instruction(body, index, &view);
  std::vector<std::uint32_t> inner(view.num_qubits);
  for (std::uint32_t b = 0; b < view.num_qubits; ++b) inner[b] = physical[view.qubits[b]];
  Ref python_blocks = blocks_of(data, index, blocks);
  Ref bodies = Ref::steal(check(PyTuple_New(static_cast<Py_ssize_t>(blocks))));
  // Each body starts from the qubits in use before the operation; after it, a qubit is in
  // use where it is after any body.
  const std::vector<char> before = active;
  for (std::size_t b = 0; b < blocks; ++b) {
    std::vector<char> entering = before;
    set_tuple_item(bodies.get(), static_cast<Py_ssize_t>(b),
                   this->body(qk_control_flow_block_circuit(op.get(), b),
                              tuple_item(python_blocks.get(), static_cast<Py_ssize_t>(b)), inner,
                              entering, false));
    for (std::size_t q = 0; q < active.size(); ++q) active[q] |= entering[q];
  }
  return bodies.release();
}

std::size_t DynamicPlanner::block(const QkCircuit* body, const std::vector<std::uint32_t>& indices,
                                  const std::vector<std::uint32_t>& physical,
                                  const std::vector<std::uint32_t>& marked, QkCircuit* into,
                                  std::vector<double>* starts) {
  // The block as a static circuit of the device's width, its clbits the body's. A barrier at
  // t = 0 on the `marked` qubits: the planner counts the time before a qubit's first
  // operation as its initial state, which these are not in.
  // The lengths of the block's delays, by position in the static circuit.
  const std::size_t first = marked.empty() ? 0 : 1;
  Ref delays = Ref::borrow(no_delays_.get());
  double waits = 0.0;
  for (std::size_t j = 0; j < indices.size(); ++j) {
    if (qk_circuit_instruction_kind(body, indices[j]) != QkOperationKind_Delay) continue;
    if (delays.get() == no_delays_.get()) delays = Ref::steal(check(PyDict_New()));
    const double length = delay_length(body, indices[j]);
    waits += length;
    Ref key = Ref::steal(check(PyLong_FromSize_t(first + j)));
    Ref value = Ref::steal(check(PyFloat_FromDouble(length)));
    if (PyDict_SetItem(delays.get(), key.get(), value.get()) < 0) throw PythonError{};
  }
  // Where the schedule may pass 2**53 dt, the Python writer writes it.
  const std::size_t operations = indices.size() + first;
  if (static_cast<double>(operations) * step_ + waits > max_time_) throw NotNative{};
  CircuitPtr sub(qk_circuit_new(in_.nq, qk_circuit_num_clbits(body)));
  if (!marked.empty()) {
    check_exit(
        qk_circuit_barrier(sub.get(), marked.data(), static_cast<std::uint32_t>(marked.size())),
        "add a marker");
  }
  for (std::uint32_t i : indices) copier_.copy(body, i, sub.get(), physical);
  const Source source = Source::of_circuit(sub.get(), nullptr);
  Reading reading = read(source, table_, delays.get(), in_.options);
  if (!reading.writable) throw NotNative{};
  const DdPlan plan = schedule_and_plan(reading, in_);
  std::size_t sequences = 0;
  for (const DdRun& run : plan.runs) sequences += run.count / in_.n;
  inserted_ += sequences;
  dropped_ += plan.dropped;
  Writer writer(source, reading, plan, in_, run_frames(source, reading, plan, in_));
  writer.write();
  const QkCircuit* written = writer.circuit();
  // Back onto the body's qubits; delays on device qubits outside the body are left out.
  std::vector<std::uint32_t> back(in_.nq, kNoQubit);
  for (std::uint32_t b = 0; b < physical.size(); ++b) back[physical[b]] = b;
  // The marker: the first barrier on exactly the marked qubits.
  std::size_t marker = std::numeric_limits<std::size_t>::max();
  const std::size_t size = qk_circuit_num_instructions(written);
  if (!marked.empty()) {
    std::vector<std::uint32_t> want(marked), have;
    std::sort(want.begin(), want.end());
    for (std::size_t j = 0; j < size && marker == std::numeric_limits<std::size_t>::max(); ++j) {
      if (qk_circuit_instruction_kind(written, j) != QkOperationKind_Barrier) continue;
      QkCircuitInstructionView view;
      qk_circuit_view_instruction(written, j, &view);
      if (view.num_qubits != want.size()) continue;
      have.assign(view.qubits, view.qubits + view.num_qubits);
      std::sort(have.begin(), have.end());
      if (have == want) marker = j;
    }
  }
  const std::vector<double>& written_starts = writer.starts();
  for (std::size_t j = 0; j < size; ++j) {
    if (j == marker) continue;
    if (copier_.copy(written, j, into, back) && starts != nullptr) {
      starts->push_back(written_starts[j]);
    }
  }
  return sequences;
}

}  // namespace vornak::bridge
