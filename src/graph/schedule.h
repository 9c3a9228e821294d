#ifndef VORNAK_GRAPH_SCHEDULE_H
#define VORNAK_GRAPH_SCHEDULE_H

#include <vector>

#include "graph/dag.h"

namespace vornak {

// Gives every node an as-soon-as-possible (start_time, end_time), replacing the graph's
// whole schedule. Nodes are placed in id order; each starts when the last operation on
// every one of its qubits has ended (strict IEEE comparison from 0.0, so NaN and negative
// end times never delay anything), and ends at duration_ns + start. O(nodes + qubits).
void build_schedule(QuantumDAG& dag);

// A stretch between two consecutive scheduled operations on one qubit.
struct IdleWindow {
  Qubit qubit;
  double gap_start;  // end_time of the earlier operation
  double gap_end;    // start_time of the later operation
};

// Lists, per qubit, each gap between consecutive scheduled operations (ordered by start
// time, stable) with gap_end - gap_start >= min_gap_ns. The windows of one qubit are
// contiguous and in time order; qubits come in an unspecified order. Nodes without a
// schedule entry are ignored.
std::vector<IdleWindow> find_idle_windows(const QuantumDAG& dag, double min_gap_ns);

}  // namespace vornak

#endif
