#include "qiskit/source.h"

#include <optional>
#include <utility>

#include "qiskit/circuit_copies.h"
#include "qiskit/circuit_order.h"
#include "qiskit/python_values.h"
#include "qiskit/standard_gates.h"

namespace vornak::bridge {

Source Source::of_circuit(QkCircuit* circuit, PyObject* python, bool vars) {
  if (!vars) {
    if (std::optional<std::vector<std::uint32_t>> order = lexicographic_order(circuit)) {
      Source source(nullptr, circuit, python);
      source.circuit_order_ = *std::move(order);
      return source;
    }
  }
  Source source(nullptr, circuit, python);
  if (python == nullptr) {
    source.owned_.reset(qk_circuit_to_dag(circuit));
    if (!source.owned_) fail(PyExc_RuntimeError, "Qiskit refused to make a DAG of the circuit");
    source.dag_ = source.owned_.get();
  } else {
    source.owned_python_ = dag_of_data(python);
    source.dag_ = qk_dag_borrow_from_python(source.owned_python_.get());
    if (source.dag_ == nullptr) throw PythonError{};
  }
  QkDag* dag = source.dag_;
  // A DAG made from a circuit numbers its operations in the circuit's order, after its
  // wire nodes.
  if (qk_dag_num_op_nodes(dag) > 0) {
    while (qk_dag_node_type(dag, source.first_) != QkDagNodeType_Operation) ++source.first_;
  }
  return source;
}

QkGate Source::gate(std::uint32_t node, const QkCircuitInstructionView& view) const {
  if (dag_ != nullptr) return qk_dag_op_node_gate_op(dag_, node, nullptr);
  // A circuit's standard gate is named as the gate: the C API reads the name off it.
  static_assert(kStandardGates < 255, "a gate number and one more fit in a byte");
  if (node >= gates_.size()) gates_.resize(qk_circuit_num_instructions(circuit_), 0);
  if (node >= gates_.size()) return standard_gate_named(std::string_view(view.name, view.name_len));
  std::uint8_t& known = gates_[node];
  if (known == 0) known = static_cast<std::uint8_t>(gate_named(std::string_view(view.name, view.name_len)) + 1);
  return static_cast<QkGate>(known - 1);
}

QkGate Source::gate_named(std::string_view name) const {
  for (const auto& [seen, gate] : recent_names_) {
    if (!seen.empty() && seen == name) return gate;
  }
  const QkGate gate = standard_gate_named(name);
  if (gate != static_cast<QkGate>(kStandardGates)) {
    recent_names_[next_recent_] = {standard_gate_names()[gate], gate};
    next_recent_ = (next_recent_ + 1) % recent_names_.size();
  }
  return gate;
}

bool Source::native_params(const QkParam* params, std::size_t count) {
  const std::size_t stride = qk_param_stride();
  for (std::size_t p = 0; p < count; ++p) {
    if (qk_param_kind(param_at(params, p, stride)) == QkParamKind_Unknown) return false;
  }
  return true;
}

bool Source::native_kind(QkOperationKind kind) {
  switch (kind) {
    case QkOperationKind_Gate:
    case QkOperationKind_Barrier:
    case QkOperationKind_Delay:
    case QkOperationKind_Measure:
    case QkOperationKind_Reset:
    case QkOperationKind_Unitary:
      return true;
    default:
      return false;
  }
}

bool Source::readable(const QkCircuit* circuit) {
  const std::size_t size = qk_circuit_num_instructions(circuit);
  for (std::size_t i = 0; i < size; ++i) {
    if (!native_kind(qk_circuit_instruction_kind(circuit, i))) return false;
    QkCircuitInstructionView view;
    qk_circuit_view_instruction(circuit, i, &view);
    if (!native_params(view.params, view.num_params)) return false;
  }
  return true;
}

void Source::set_labelled(const std::vector<std::uint32_t>& positions) {
  const std::size_t size =
      dag_ != nullptr ? qk_dag_num_op_nodes(dag_) : qk_circuit_num_instructions(circuit_);
  label_slots_.assign(positions.empty() ? 0 : size, -1);
  for (std::size_t j = 0; j < positions.size(); ++j) {
    if (positions[j] >= size || label_slots_[positions[j]] >= 0) {
      fail(PyExc_ValueError, "labelled positions must be distinct positions of the circuit");
    }
    label_slots_[positions[j]] = static_cast<std::int64_t>(j);
  }
  num_labelled_ = positions.size();
}

std::vector<std::uint32_t> Source::order() const {
  if (dag_ == nullptr) return circuit_order_;
  std::vector<std::uint32_t> order(qk_dag_num_op_nodes(dag_));
  if (!order.empty()) qk_dag_topological_op_nodes(dag_, order.data());
  return order;
}

py::Ref Source::empty_like() const {
  if (python_ == nullptr) {
    // Built here from qk_circuit_new: the C API's copy meets no Python object.
    return py::Ref::steal(check(
        qk_circuit_to_python(qk_circuit_copy_empty_like(circuit_, QkVarsMode_Alike, QkBlocksMode_Drop))));
  }
  return circuit_ != nullptr ? empty_data_like(python_) : empty_data_like_dag(python_);
}

}  // namespace vornak::bridge
