#ifndef VORNAK_GRAPH_PASS_SCHEDULE_H
#define VORNAK_GRAPH_PASS_SCHEDULE_H

#include <span>

#include "graph/dag.h"

namespace vornak {

enum class ScheduleOrder {
  // Every node starts when the last node before it on one of its wires has ended.
  kAsap,
  // Every node ends when the first node after it on one of its wires starts, or at the
  // circuit's end when it is the last on all its wires; the circuit keeps its ASAP length.
  kAlap,
};

// Gives every node of `dag` a (start_time, end_time) in `order`, replacing the graph's whole
// schedule, then moves start times onto each node's grid the way a device's timing
// constraints ask for: with `alignments` non-empty (one entry per node), a node whose
// alignment a is above 1 starts at a multiple of a. Nodes are walked in id order; a node that
// is off its grid, or that overlaps a node before it on one of its wires after that node was
// moved, moves later to the next multiple, never earlier, and the nodes after it follow. So an
// ASAP schedule stays as-soon-as-possible on the grid, and an ALAP one may grow longer by
// what the grid asks.
//
// Wires are qubit indices of any kind: a classical bit read or written by a node is one more
// wire, which keeps measurements that share a bit in order. Comparisons are strict IEEE ones
// from 0.0, as in build_schedule(), so NaN and negative durations never delay anything.
// O(nodes + wire occurrences).
void build_pass_schedule(QuantumDAG& dag, ScheduleOrder order,
                         std::span<const double> alignments = {});

}  // namespace vornak

#endif
