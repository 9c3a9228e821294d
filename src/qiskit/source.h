#ifndef VORNAK_QISKIT_SOURCE_H
#define VORNAK_QISKIT_SOURCE_H

#include "qiskit/capi.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/pyref.h"

namespace vornak::bridge {

// The instructions of an input, reached by node index of a DAG in its topological order:
// a DAGCircuit, or a circuit (in place, or through a DAG made from it). In the second case the order is the one in
// which the pass reads the DAG that a PassManager makes of the same circuit, so that both
// plan alike (the planner places pulses in the order it meets the gaps); its delays are keyed
// by their position in the circuit, and the padded circuit gets the circuit's bits and
// registers.
class Source {
 public:
  // The DAG of the DAGCircuit `python`, both borrowed; delays are keyed by node index.
  static Source of_dag(QkDag* dag, PyObject* python) { return Source(dag, nullptr, python); }
  // A circuit, borrowed; see readable(). `python`: its CircuitData, borrowed, or null for a
  // circuit the bridge built itself from qk_circuit_new (see circuit_copies.h: copies of any
  // other go through Python). `vars`: whether it has classical variables, which are wires of
  // a DAG made from it. Where it has none and its order is found from the circuit (see
  // lexicographic_order), its instructions are read in place, node index i being instruction
  // i; else through a DAG made from it.
  static Source of_circuit(QkCircuit* circuit, PyObject* python, bool vars = false);
  // Whether a DAG can be made of `circuit` through the C API, and its operations written
  // back. Qiskit's conversion copies every parameter, and a parameter held as a Python
  // object (a delay's duration expression, the label of a PauliGate, the matrix of a
  // HamiltonianGate, a string) can be copied only inside Qiskit's own Python calls: copied
  // from a C API call it aborts the process, whether or not the caller holds the
  // interpreter lock. Operations that are Python objects themselves could not be written
  // back either. No such circuit is read here.
  static bool readable(const QkCircuit* circuit);
  // Whether all `count` parameters at `params` are numbers or parameter expressions, which
  // the C API copies without Python.
  static bool native_params(const QkParam* params, std::size_t count);
  // Whether operations of `kind` can be written back through the C API: standard gates,
  // barriers, delays, measurements, resets and unitaries.
  static bool native_kind(QkOperationKind kind);

  std::uint32_t num_qubits() const {
    return dag_ != nullptr ? qk_dag_num_qubits(dag_) : qk_circuit_num_qubits(circuit_);
  }
  std::vector<std::uint32_t> order() const;
  void view(std::uint32_t node, QkCircuitInstructionView* out) const {
    if (dag_ != nullptr) {
      qk_dag_view_instruction(dag_, node, out);
    } else {
      qk_circuit_view_instruction(circuit_, node, out);
    }
  }
  QkOperationKind kind(std::uint32_t node) const {
    return dag_ != nullptr ? qk_dag_op_node_kind(dag_, node)
                           : qk_circuit_instruction_kind(circuit_, node);
  }
  // The standard gate of a node of kind QkOperationKind_Gate whose `view` was read; a number
  // of no standard gate (kStandardGates) where a circuit's gate has a name of none. A
  // circuit's are looked up by name once per node: reading, frames and writing each ask.
  QkGate gate(std::uint32_t node, const QkCircuitInstructionView& view) const;
  void unitary(std::uint32_t node, QkComplex64* out) const {
    if (dag_ != nullptr) {
      qk_dag_op_node_unitary(dag_, node, out);
    } else {
      qk_circuit_inst_unitary(circuit_, node, out);
    }
  }
  // The key of the delay at `node` in the table of delay lengths.
  std::uint32_t delay_key(std::uint32_t node) const { return node - first_; }
  // A new empty CircuitData with the input's bits, registers, variables and global phase.
  py::Ref empty_like() const;

  // Marks the instructions at `positions` (of a circuit: positions in its data, each below
  // its size, none twice) as labelled: Qiskit's C API neither reads nor writes labels, so
  // the caller puts them back on the padded circuit (see Writer::placed()). No run's closing
  // frame change goes into a labelled rz, which the Python writer leaves as it is.
  void set_labelled(const std::vector<std::uint32_t>& positions);
  // The index in the positions given to set_labelled of the instruction at `node`, or -1.
  std::int64_t label_slot(std::uint32_t node) const {
    const std::uint32_t position = node - first_;
    return node >= first_ && position < label_slots_.size() ? label_slots_[position] : -1;
  }
  std::size_t num_labelled() const { return num_labelled_; }

 private:
  Source(QkDag* dag, QkCircuit* circuit, PyObject* python)
      : dag_(dag), circuit_(circuit), python_(python) {}

  QkDag* dag_;  // null where a circuit is read in place
  DagPtr owned_;  // the DAG made from a circuit built here
  py::Ref owned_python_;  // the DAGCircuit made from any other circuit, which dag_ borrows
  QkCircuit* circuit_;
  PyObject* python_;  // the input's DAGCircuit or CircuitData, borrowed; null: built here
  std::uint32_t first_ = 0;  // the node index of a circuit's first operation
  std::vector<std::uint32_t> circuit_order_;  // of a circuit read in place
  std::vector<std::int64_t> label_slots_;  // by position: see label_slot(); empty: none
  std::size_t num_labelled_ = 0;
  mutable std::vector<std::uint8_t> gates_;    // of a circuit, by node: gate() once asked, + 1
  // standard_gate_named(), through the few standard gates named last: a circuit holds few
  // kinds of gate, and comparing a short name to each costs less than hashing it. The names
  // are those of standard_gate_names(), which outlive every Source.
  QkGate gate_named(std::string_view name) const;
  mutable std::array<std::pair<std::string_view, QkGate>, 6> recent_names_{};
  mutable std::size_t next_recent_ = 0;
};

}  // namespace vornak::bridge

#endif
