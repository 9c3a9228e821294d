#ifndef VORNAK_DD_PLAN_H
#define VORNAK_DD_PLAN_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "graph/dag.h"

namespace vornak {

inline constexpr double DD_DEFAULT_PULSE_NS = 50.0;
inline constexpr double DD_WINDOW_FACTOR = 1.5;
inline constexpr double DD_PULSE_SPACING_NS = 10.0;

// Where in its gap a sequence goes.
enum class DdPlacement {
  // The first pulse where the gap begins, each later one `spacing` after the previous end.
  kStart,
  // The free time between the gap's start and the window limit split 1/2n, 1/n, ..., 1/n,
  // 1/2n around the n pulses (none when the pulses do not fit); each pulse starts no earlier
  // than the previous end plus `spacing`.
  kSpread,
};

// Flags of a node, for graphs whose nodes are more than gates (see plan_dd()).
inline constexpr std::uint8_t kDdNodeResets = 1;  // leaves its qubits in the ground state
inline constexpr std::uint8_t kDdNodeIdle = 2;    // a wait: its time is part of the gap
// Commutes with Z on each of its qubits (a diagonal gate: rz, z, s, t, cz, ...): it turns no
// qubit's Z frame, so the walsh planner does not cut a neighbour's idle time at its middle.
inline constexpr std::uint8_t kDdNodeKeepsFrame = 4;
// Commutes with Z on its first qubit only (the control of cx, cy, ch, crx, ...): that qubit's
// frame stays, the others' turn.
inline constexpr std::uint8_t kDdNodeKeepsFirstFrame = 8;

// Turns Z into -Z on each of its qubits (x, y): a turn that only flips the frame's sign.
inline constexpr std::uint8_t kDdNodeFlipsFrame = 16;
// Turns Z into -Z on its first qubit only (the control of an echoed cross-resonance gate, whose
// echo anticommutes with that Z): that qubit's frame flips, the others' turn.
inline constexpr std::uint8_t kDdNodeFlipsFirstFrame = 32;
// Reads its qubits (a measurement): their phases after it starts reach nothing read, so the
// frame segments that the noise model scores end at its start, not at its middle.
inline constexpr std::uint8_t kDdNodeReads = 64;

// Whether the node with `flags` turns the Z frame of its qubit at `position` (in its qubit
// list).
inline bool dd_node_turns_frame(std::uint8_t flags, std::size_t position) {
  if (flags & kDdNodeKeepsFrame) return false;
  return !(position == 0 && (flags & kDdNodeKeepsFirstFrame));
}

// Whether that turn only flips the frame's sign (Z to -Z), as a π pulse does.
inline bool dd_node_flips_frame(std::uint8_t flags, std::size_t position) {
  if (flags & kDdNodeFlipsFrame) return true;
  return position == 0 && (flags & kDdNodeFlipsFirstFrame);
}

struct DdPlanOptions {
  // The number n of pulses in the sequence.
  std::size_t pulse_count = 2;
  DdPlacement placement = DdPlacement::kStart;
  // Free time after every placed pulse, and after a conflicting pulse on a coupled qubit.
  double spacing = DD_PULSE_SPACING_NS;
  // With alignment > 0, pulse start times are rounded up to multiples of it (and the spread's
  // free time down). 0 leaves every time as computed.
  double alignment = 0.0;
  // With num_qubits > 0, a pulse is moved past every pulse already placed on a coupled qubit
  // whose index is below num_qubits that it would overlap.
  std::uint64_t num_qubits = 0;
  // A sequence that does not fit whole is left out, and its pulses are forgotten; otherwise
  // the pulses that fit are kept and the rest of the sequence is not tried.
  bool whole_sequences = false;
  // No pulses in the gap that follows a qubit's start, or a node flagged kDdNodeResets.
  bool skip_ground_state = false;
  // Keep the start time of every pulse in DdPlan::starts (otherwise it stays empty).
  bool record_starts = true;
  // The first pulse of a gap also keeps `spacing` after the qubit's last pulse, which
  // matters where only short or zero-length nodes (a barrier) separate two gaps: the gap
  // then counts from that time, for spread placement too. Off, a gap starts where the
  // qubit's last node ended.
  bool space_from_last_pulse = false;
  // Pulses may fill a gap up to the start of the node that ends it, instead of ending by the
  // window limit. The two agree on an as-soon-as-possible schedule; one as late as possible,
  // or with start times moved onto a grid, starts nodes after their qubits were last busy.
  bool until_node_start = false;
};

// One decision: pulses 0 .. count - 1 of the sequence on `qubit`, in the gap before node
// `before`. When the starts are recorded, its pulses' starts follow those of the runs
// before it in DdPlan::starts.
struct DdRun {
  NodeId before;
  Qubit qubit;
  double duration;  // of the qubit's first pulse
  std::uint32_t count;
};

struct DdPlan {
  std::vector<DdRun> runs;    // by `before`, and within a node in the order of its qubits
  std::vector<double> starts;  // the start time of every pulse, run after run
  std::size_t scheduled = 0;  // the leading nodes that have a schedule entry
  std::size_t dropped = 0;    // sequences left out as they did not fit whole
};

// Fills `durations` (pulse_count entries) with the durations of the sequence's pulses on
// `qubit`, or returns false when the qubit takes no pulses.
using DdPulseDurations = std::function<bool(Qubit qubit, std::span<double> durations)>;

// Decides which gaps of `source`'s scheduled nodes get pulses, how many and when.
//
// Walks the nodes that have a schedule entry in id order. A qubit visit of a node starting at
// S, on a qubit whose last node ended at L (0.0 before its first), passes the gap test when
// S - L >= (sum of the qubit's pulse durations) * DD_WINDOW_FACTOR, the sum formed as
// n * d when the durations are equal; the pulses it places must end by the window limit: the
// largest of 0.0 and the times each qubit of the node was last busy, read at the visit (a
// qubit of the node visited before counts with S), or S itself with until_node_start. A
// node flagged kDdNodeIdle takes no part
// but keeps its qubits busy; `node_flags` is empty or has one entry per node.
// O(nodes + qubit visits), plus the crosstalk search.
DdPlan plan_dd(const QuantumDAG& source, const DdPulseDurations& durations,
               const DdPlanOptions& options, std::span<const std::uint8_t> node_flags = {});

// The same plan, handed to `use` while the planner still holds its working memory (which
// it may move from). Building a graph from the plan there is measurably faster than after
// that memory went back to the allocator, which then hands the build fresh pages.
void plan_dd(const QuantumDAG& source, const DdPulseDurations& durations,
             const DdPlanOptions& options, std::span<const std::uint8_t> node_flags,
             const std::function<void(DdPlan&)>& use);

}  // namespace vornak

#endif
