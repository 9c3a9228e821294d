#include "qiskit/source.h"

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

std::vector<std::uint32_t> Source::order() const {
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
