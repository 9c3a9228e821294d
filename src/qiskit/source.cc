#include "qiskit/source.h"

#include <optional>
#include <utility>

#include "qiskit/circuit_order.h"
#include "qiskit/python_values.h"

namespace vornak::bridge {

Source Source::of_circuit(QkCircuit* circuit) {
  QkDag* dag = qk_circuit_to_dag(circuit);
  if (dag == nullptr) fail(PyExc_RuntimeError, "Qiskit refused to make a DAG of the circuit");
  Source source(dag, circuit);
  source.owned_.reset(dag);
  // A DAG made from a circuit numbers its operations in the circuit's order, after its
  // wire nodes.
  if (qk_dag_num_op_nodes(dag) > 0) {
    while (qk_dag_node_type(dag, source.first_) != QkDagNodeType_Operation) ++source.first_;
  }
  return source;
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

std::vector<std::uint32_t> Source::order() const {
  // A circuit's DAG with no wire nodes but those of its bits (no variables) is ordered here,
  // from the circuit, as Qiskit orders it.
  const std::uint32_t bits = qk_dag_num_qubits(dag_) + qk_dag_num_clbits(dag_);
  if (circuit_ != nullptr && first_ == 2 * bits) {
    if (std::optional<std::vector<std::uint32_t>> order = lexicographic_order(circuit_)) {
      for (std::uint32_t& node : *order) node += first_;
      return *std::move(order);
    }
  }
  std::vector<std::uint32_t> order(qk_dag_num_op_nodes(dag_));
  if (!order.empty()) qk_dag_topological_op_nodes(dag_, order.data());
  return order;
}

QkCircuit* Source::empty_like() const {
  if (circuit_ != nullptr) {
    return qk_circuit_copy_empty_like(circuit_, QkVarsMode_Alike, QkBlocksMode_Drop);
  }
  DagPtr empty(qk_dag_copy_empty_like(dag_, QkVarsMode_Alike, QkBlocksMode_Drop));
  return qk_dag_to_circuit(empty.get());
}

}  // namespace vornak::bridge
