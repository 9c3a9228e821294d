#include "qiskit/reader.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "graph/dd_plan.h"
#include "lib/pyref.h"
#include "qiskit/python_values.h"

namespace vornak::bridge {
namespace {

using py::Ref;

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
      CircuitPtr scratch(qk_circuit_new(std::max(nq, 1u), 0));
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

}  // namespace

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
    if (kind == QkOperationKind_Gate) {
      const std::uint32_t gate = source.gate(node);
      const std::vector<std::string>& names = standard_gate_names();
      if (gate >= names.size() || names[gate] != op_name ||
          !Source::native_params(view.params, view.num_params)) {
        r.writable = false;
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
