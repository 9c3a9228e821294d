#include "qiskit/start_times.h"

#include <algorithm>
#include <cmath>

#include "lib/pyref.h"
#include "qiskit/python_values.h"

namespace vornak::bridge {

using py::Ref;

PyObject* start_list(const std::vector<double>& start) {
  const std::size_t size = start.size();
  Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(size))));
  // A time equal to the one before it shares its object: a quarter of them on QFT-50.
  PyObject* previous = nullptr;
  double previous_time = -1.0;
  for (std::uint32_t i = 0; i < size; ++i) {
    const double t = start[i];
    PyObject* item;
    if (t < 0) {
      item = Py_NewRef(Py_None);
    } else if (previous != nullptr && t == previous_time) {
      item = Py_NewRef(previous);
    } else {
      if (t <= kMaxExactDt && static_cast<double>(static_cast<long long>(t)) == t) {
        item = check(PyLong_FromLongLong(static_cast<long long>(t)));
      } else {
        item = check(PyFloat_FromDouble(t));
      }
      previous = item;
      previous_time = t;
    }
    set_list_item(list.get(), i, item);
  }
  return list.release();
}

PyObject* start_times(QkDag* dag, const std::vector<double>& written, const DurationTable& table) {
  const std::size_t ops = qk_dag_num_op_nodes(dag);
  // A circuit becomes a DAG with its operations numbered in order after the wire nodes.
  const std::size_t wires = 2 * (std::size_t{qk_dag_num_qubits(dag)} + qk_dag_num_clbits(dag));
  auto is_op = [&](std::size_t node) {
    return qk_dag_node_type(dag, static_cast<std::uint32_t>(node)) == QkDagNodeType_Operation;
  };
  if (ops > 0 && ops == written.size() && !is_op(wires - 1) && is_op(wires) &&
      is_op(wires + ops - 1)) {
    return start_list(written);
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
  std::erase_if(start, [](double t) { return t < 0.0; });  // the wire nodes' entries
  return start_list(start);
}

}  // namespace vornak::bridge
