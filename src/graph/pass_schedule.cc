#include "graph/pass_schedule.h"

#include <cmath>
#include <stdexcept>
#include <utility>
#include <vector>

#include "graph/qubit_slots.h"

namespace vornak {
namespace {

double align_up(double t, double alignment) {
  return alignment > 1.0 ? std::ceil(t / alignment) * alignment : t;
}

// Moves every node to the first time on its grid that is no earlier than its own start
// (with `keep_starts`; otherwise 0.0) and the ends of the nodes before it on its wires, in id
// order, so that a node that moves takes the nodes after it along.
void push_forward(const QuantumDAG& dag, BigVector<ScheduleEntry>& schedule,
                  std::span<const double> alignments, bool keep_starts) {
  QubitSlots slots(dag);
  std::vector<double> free_at(slots.size(), 0.0);
  for (NodeId id = 0; id < dag.next_id(); ++id) {
    const GateNode node = dag.node(id);
    double start = keep_starts ? schedule[id].start_time : 0.0;
    for (Qubit q : node.qubits) {
      std::size_t s = slots.slot(q);
      QubitSlots::cover(free_at, s, 0.0);
      if (free_at[s] > start) start = free_at[s];
    }
    if (!alignments.empty()) start = align_up(start, alignments[id]);
    const double end = node.duration_ns + start;
    schedule[id] = {start, end};
    for (Qubit q : node.qubits) free_at[slots.slot(q)] = end;
  }
}

// As late as possible: an ASAP schedule of the reversed circuit, read back from its end.
void schedule_alap(const QuantumDAG& dag, BigVector<ScheduleEntry>& schedule) {
  QubitSlots slots(dag);
  // A wire's slot holds how long before the circuit's end it becomes busy, walking back.
  std::vector<double> busy_from(slots.size(), 0.0);
  double length = 0.0;
  for (NodeId id = dag.next_id(); id-- > 0;) {
    const GateNode node = dag.node(id);
    double after = 0.0;  // the node's end, counted back from the circuit's end
    for (Qubit q : node.qubits) {
      std::size_t s = slots.slot(q);
      QubitSlots::cover(busy_from, s, 0.0);
      if (busy_from[s] > after) after = busy_from[s];
    }
    const double before = node.duration_ns + after;
    schedule[id] = {before, after};
    for (Qubit q : node.qubits) busy_from[slots.slot(q)] = before;
    if (before > length) length = before;
  }
  for (NodeId id = 0; id < dag.next_id(); ++id) {
    const ScheduleEntry back = schedule[id];
    schedule[id] = {length - back.start_time, length - back.end_time};
  }
}

}  // namespace

void build_pass_schedule(QuantumDAG& dag, ScheduleOrder order, std::span<const double> alignments) {
  if (!alignments.empty() && alignments.size() != dag.node_count()) {
    throw std::invalid_argument("build_pass_schedule: one alignment per node, or none");
  }
  BigVector<ScheduleEntry> schedule(dag.node_count());
  if (order == ScheduleOrder::kAlap) {
    schedule_alap(dag, schedule);
    if (!alignments.empty()) push_forward(dag, schedule, alignments, true);
  } else {
    push_forward(dag, schedule, alignments, false);
  }
  dag.set_schedule(std::move(schedule));
}

}  // namespace vornak
