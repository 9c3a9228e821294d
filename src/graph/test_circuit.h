#ifndef VORNAK_GRAPH_TEST_CIRCUIT_H
#define VORNAK_GRAPH_TEST_CIRCUIT_H

// Small circuits for the planners' tests: gates in id order on an ASAP schedule.

#include <utility>
#include <vector>

#include "graph/dag.h"
#include "graph/schedule.h"

namespace vornak::test_circuits {

using Couplings = std::vector<std::pair<Qubit, Qubit>>;

struct Gate {
  std::vector<Qubit> qubits;
  double duration;
};

// The gates in id order with an as-soon-as-possible schedule.
inline QuantumDAG circuit(const std::vector<Gate>& gates, const Couplings& couplings = {}) {
  QuantumDAG dag;
  for (const Gate& g : gates) dag.insert_node("g", g.qubits, g.duration, {});
  dag.add_couplings(couplings);
  build_schedule(dag);
  return dag;
}

}  // namespace vornak::test_circuits

#endif
