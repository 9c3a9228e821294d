#include "qiskit/reader.h"

#include <algorithm>
#include <limits>
#include <string>
#include <string_view>

#include "dd/frame_flags.h"
#include "dd/plan.h"
#include "lib/pyref.h"
#include "qiskit/python_values.h"
#include "qiskit/standard_gates.h"

namespace vornak::bridge {
namespace {

using py::Ref;

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

// The core's frame_flags() of each standard gate, by gate number, from the names Qiskit
// gives them: found once, then a lookup per operation.
std::uint8_t frame_flags_of(QkGate gate) {
  static const std::vector<std::uint8_t> flags = [] {
    const std::vector<std::string>& names = standard_gate_names();
    std::vector<std::uint8_t> found(names.size(), 0);
    for (std::size_t g = 0; g < names.size(); ++g) found[g] = frame_flags(names[g]);
    return found;
  }();
  return gate < flags.size() ? flags[gate] : 0;
}

}  // namespace

namespace {

// The value `table` (a dict by the node's delay key) holds for `node`, empty where it holds
// none.
Ref looked_up(PyObject* table, const Source& source, std::uint32_t node) {
  Ref key = Ref::steal(check(PyLong_FromUnsignedLong(source.delay_key(node))));
  PyObject* found = PyDict_GetItemWithError(table, key.get());  // borrowed
  if (found == nullptr && PyErr_Occurred()) throw PythonError{};
  return found == nullptr ? Ref{} : Ref::borrow(found);
}

// The duration of `node` (a delay's from `delays`, another operation's from `table`, a
// barrier's 0), and its idle, reset or read flag in `flags`. Control flow is refused.
double duration_of(const Source& source, const DurationTable& table, PyObject* delays,
                   std::uint32_t node, const QkCircuitInstructionView& view,
                   std::string_view op_name, bool standard, QkGate gate, std::uint8_t& flags) {
  const QkOperationKind kind = source.kind(node);
  switch (kind) {
    case QkOperationKind_ControlFlow:
      fail(PyExc_NotImplementedError,
           "control-flow operation " + std::string(op_name) + " on qubits " +
               qubit_list(view.qubits, view.num_qubits));
    case QkOperationKind_Barrier:
      return 0.0;
    case QkOperationKind_Delay: {
      Ref value = looked_up(delays, source, node);
      if (!value) {
        fail(PyExc_LookupError, "no duration for the delay on qubits " +
                                    qubit_list(view.qubits, view.num_qubits));
      }
      flags = kDdNodeIdle;
      return to_length(value.get(), "a delay's duration");
    }
    case QkOperationKind_Reset:
    case QkOperationKind_Measure:
      flags = kind == QkOperationKind_Reset ? kDdNodeResets : kDdNodeReads;
      [[fallthrough]];
    default: {
      const double* found = standard ? table.find(gate, view.qubits, view.num_qubits)
                                     : table.find(op_name, view.qubits, view.num_qubits);
      if (found == nullptr) {
        fail(PyExc_LookupError, "Duration of " + std::string(op_name) + " on qubits " +
                                    qubit_list(view.qubits, view.num_qubits) +
                                    " is not found.");
      }
      return *found;
    }
  }
}

}  // namespace

Reading read(const Source& source, const DurationTable& table, PyObject* delays,
             const Options& options, PyObject* stores) {
  Reading r;
  const std::uint32_t nq = source.num_qubits();
  r.order = source.order();
  const std::size_t ops = r.order.size();
  r.flags.assign(ops, 0);
  // Kept only where the frames of runs are chosen, the one walk that reads them.
  const bool keep_gates = !options.residues.empty();
  if (keep_gates) {
    r.fixed_gate.assign(ops, kNoFixedGate);
    r.z_angle.assign(ops, std::numeric_limits<double>::quiet_NaN());
  }
  r.core.reserve(ops, 2 * ops, 0);
  const std::uint32_t name = r.core.strings().intern("op");
  std::vector<Qubit> wires;
  // Granularity and minimum length constrain pulse waveforms, not start times or delays:
  // Qiskit's scheduling stage uses them for nothing else, and neither does the pass.
  const bool aligned = options.alignment > 1.0 || options.acquire_alignment > 1.0;
  if (aligned) r.alignments.resize(ops);
  const std::vector<std::string>& gate_names = standard_gate_names();
  for (std::size_t i = 0; i < ops; ++i) {
    const std::uint32_t node = r.order[i];
    QkCircuitInstructionView view;
    source.view(node, &view);
    const std::string_view op_name(view.name, view.name_len);
    const QkOperationKind kind = source.kind(node);
    // A gate named as a standard gate is that gate; any other (a subclass under a name of its
    // own) is written in Python.
    const QkGate gate = kind == QkOperationKind_Gate ? source.gate(node, view)
                                                     : static_cast<QkGate>(kStandardGates);
    const bool standard = gate < gate_names.size() && gate_names[gate] == op_name;
    // A classical store's wires, where they are given: no duration, no grid.
    Ref store_wires;
    if (stores != nullptr && view.num_qubits == 0 && op_name == "store") {
      store_wires = looked_up(stores, source, node);
      if (store_wires) store_wires = Ref::steal(check(PySequence_Tuple(store_wires.get())));
    }
    if (store_wires) {
      if (!Source::native_kind(kind)) r.writable = false;
      if (aligned) r.alignments[i] = 0.0;
      wires.clear();
      for (Py_ssize_t w = 0; w < PyTuple_Size(store_wires.get()); ++w) {
        wires.push_back(Qubit{nq} + to_u32(tuple_item(store_wires.get(), w)));
      }
      r.core.insert_node(name, wires, 0.0, {});
      continue;
    }
    const double duration =
        duration_of(source, table, delays, node, view, op_name, standard, gate, r.flags[i]);
    if (kind == QkOperationKind_Gate) {
      if (!standard) {
        r.writable = false;  // a subclass of the gate, whose action we do not know
      } else {
        r.flags[i] |= frame_flags_of(gate);
        if (!Source::native_params(view.params, view.num_params)) r.writable = false;
        if (keep_gates && view.num_params == 0 && gate < kNoFixedGate) {
          r.fixed_gate[i] = static_cast<std::uint8_t>(gate);
        }
        if (keep_gates && view.num_params == 1 && view.num_qubits == 1 && is_z_rotation(gate)) {
          r.z_angle[i] = qk_param_as_real(view.params);
        }
      }
    } else if (!Source::native_kind(kind)) {
      r.writable = false;
    }
    if (aligned) r.alignments[i] = alignment_of(kind, options);
    wires.assign(view.qubits, view.qubits + view.num_qubits);
    for (std::uint32_t c = 0; c < view.num_clbits; ++c) wires.push_back(Qubit{nq} + view.clbits[c]);
    r.core.insert_node(name, wires, duration, {});
  }
  return r;
}

}  // namespace vornak::bridge
