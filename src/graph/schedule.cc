#include "graph/schedule.h"

#include <algorithm>

#include "graph/qubit_slots.h"

namespace vornak {

void build_schedule(QuantumDAG& dag) {
  BigVector<ScheduleEntry> schedule(dag.node_count());
  QubitSlots slots(dag);
  // A qubit's slot holds the time it becomes free; 0.0 acts as "free from the start",
  // since start begins at 0.0 and only a strictly greater time moves it.
  std::vector<double> free_at(slots.size(), 0.0);
  for (NodeId id = 0; id < dag.next_id(); ++id) {
    GateNode node = dag.node(id);
    double start = 0.0;
    for (Qubit q : node.qubits) {
      std::size_t s = slots.slot(q);
      QubitSlots::cover(free_at, s, 0.0);
      if (free_at[s] > start) start = free_at[s];
    }
    double end = node.duration_ns + start;
    schedule[id] = {start, end};
    for (Qubit q : node.qubits) free_at[slots.slot(q)] = end;
  }
  dag.set_schedule(std::move(schedule));
}

std::vector<IdleWindow> find_idle_windows(const QuantumDAG& dag, double min_gap_ns) {
  std::vector<IdleWindow> windows;
  std::span<const ScheduleEntry> schedule = dag.schedule();
  NodeId scheduled = std::min<NodeId>(schedule.size(), dag.next_id());
  if (scheduled == 0) return windows;

  // Bucket the (start, end) of every qubit occurrence by qubit, in id order.
  QubitSlots slots(dag);
  std::vector<std::size_t> offsets(slots.size() + 1, 0);
  for (NodeId id = 0; id < scheduled; ++id) {
    for (Qubit q : dag.node(id).qubits) {
      std::size_t s = slots.slot(q);
      QubitSlots::cover(offsets, s + 1, std::size_t{0});
      ++offsets[s + 1];
    }
  }
  for (std::size_t s = 1; s < offsets.size(); ++s) offsets[s] += offsets[s - 1];
  std::vector<ScheduleEntry> ops(offsets.back());
  std::vector<std::size_t> fill(offsets.begin(), offsets.end() - 1);
  for (NodeId id = 0; id < scheduled; ++id) {
    for (Qubit q : dag.node(id).qubits) ops[fill[slots.slot(q)]++] = schedule[id];
  }

  auto by_start = [](const ScheduleEntry& x, const ScheduleEntry& y) {
    return x.start_time < y.start_time;
  };
  for (std::size_t s = 0; s + 1 < offsets.size(); ++s) {
    auto first = ops.begin() + static_cast<std::ptrdiff_t>(offsets[s]);
    auto last = ops.begin() + static_cast<std::ptrdiff_t>(offsets[s + 1]);
    if (last - first < 2) continue;
    // An ASAP schedule of non-negative durations is already in order.
    if (!std::is_sorted(first, last, by_start)) std::stable_sort(first, last, by_start);
    for (auto it = first; it + 1 != last; ++it) {
      double gap = (it + 1)->start_time - it->end_time;
      if (gap >= min_gap_ns) windows.push_back({slots.qubit(s), it->end_time, (it + 1)->start_time});
    }
  }
  return windows;
}

}  // namespace vornak
