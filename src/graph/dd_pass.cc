#include "graph/dd_pass.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "graph/progress.h"
#include "graph/qubit_slots.h"

namespace vornak {
namespace {

struct Interval {
  double start;
  double end;
};

// The pulses placed on one qubit, in placement order.
class PulseTrack {
 public:
  bool empty() const { return pulses_.empty(); }

  void add(Interval pulse) {
    // While every pulse starts no earlier than the previous one ended (the usual case),
    // starts and ends are both sorted and a conflict can be found by bisection.
    chained_ = chained_ && pulse.start <= pulse.end &&
               (pulses_.empty() || pulse.start >= pulses_.back().end);
    pulses_.push_back(pulse);
  }

  // The first pulse, in placement order, that overlaps a pulse over (t, t + d), or null.
  const Interval* first_conflict(double t, double d) const {
    if (chained_) {
      // Earlier pulses end by t; the first that ends after t is the only candidate,
      // since every later one starts after it ends.
      auto it = std::upper_bound(pulses_.begin(), pulses_.end(), t,
                                 [](double time, const Interval& p) { return time < p.end; });
      if (it != pulses_.end() && t + d > it->start) return &*it;
      return nullptr;
    }
    for (const Interval& p : pulses_) {
      if (t + d > p.start && p.end > t) return &p;
    }
    return nullptr;
  }

 private:
  std::vector<Interval> pulses_;
  bool chained_ = true;
};

// The pass's working state and the graph it builds.
class DdPass {
 public:
  DdPass(const QuantumDAG& source, std::string_view sequence,
         std::unordered_map<Qubit, double> pulse_durations, std::uint64_t num_qubits)
      : source_(source),
        pulse_durations_(std::move(pulse_durations)),
        num_qubits_(num_qubits),
        slots_(source),
        last_end_(slots_.size(), 0.0),
        intervals_(slots_.size()),
        names_(source.strings().size(), kUnmapped) {
    std::uint32_t x = result_.strings().intern("DD_X");
    std::uint32_t y = result_.strings().intern("DD_Y");
    pulses_ = sequence == "XY4" ? std::vector<std::uint32_t>{x, y, x, y}
                                : std::vector<std::uint32_t>{x, y};
    pulse_params_ = {{result_.strings().intern("amp"), 0.15},
                     {result_.strings().intern("sigma"), 40.0},
                     {result_.strings().intern("beta"), 0.5}};
    if (num_qubits_ > 0) collect_neighbours();
  }

  QuantumDAG run() && {
    std::size_t count = source_.node_count();
    for (NodeId id = 0; id < count; ++id) {
      std::optional<ScheduleEntry> entry = source_.node_schedule(id);
      if (!entry) continue;
      GateNode node = source_.node(id);
      node_slots_.clear();
      for (Qubit q : node.qubits) node_slots_.push_back(slot(q));
      for (std::size_t i = 0; i < node.qubits.size(); ++i) {
        double last = last_end_[node_slots_[i]];
        double gap = entry->start_time - last;
        double d = pulse_duration(node.qubits[i]);
        if (gap >= (static_cast<double>(pulses_.size()) * d) * DD_WINDOW_FACTOR) {
          place_pulses(node.qubits[i], node_slots_[i], last, d);
        }
        last_end_[node_slots_[i]] = entry->start_time;
      }
      copy_node(node);
      for (std::size_t s : node_slots_) last_end_[s] = entry->end_time;
    }
    return std::move(result_);
  }

 private:
  static constexpr std::uint32_t kUnmapped = std::numeric_limits<std::uint32_t>::max();

  std::size_t slot(Qubit q) {
    std::size_t s = slots_.slot(q);
    QubitSlots::cover(last_end_, s, 0.0);
    if (s >= intervals_.size()) intervals_.resize(s + 1);
    return s;
  }

  double pulse_duration(Qubit q) const {
    if (pulse_durations_.empty()) return DD_DEFAULT_PULSE_NS;
    auto found = pulse_durations_.find(q);
    return found == pulse_durations_.end() ? DD_DEFAULT_PULSE_NS : found->second;
  }

  // The coupled partners of every qubit that are below num_qubits, in increasing order:
  // the order in which the crosstalk check looks at them.
  void collect_neighbours() {
    source_.for_each_coupling([&](Qubit a, Qubit b) {
      if (b < num_qubits_) neighbours_[a].push_back(b);
    });
    for (auto& [qubit, partners] : neighbours_) std::sort(partners.begin(), partners.end());
  }

  // Moves `t` past every conflicting pulse on a coupled qubit, restarting the scan after
  // each shift; returns when a whole scan finds no conflict.
  double avoid_crosstalk(Qubit q, double t, double d) {
    auto partners = neighbours_.find(q);
    if (partners == neighbours_.end()) return t;
    for (bool shifted = true; shifted;) {
      shifted = false;
      for (Qubit j : partners->second) {
        const PulseTrack* placed = placed_on(j);
        if (placed == nullptr) continue;
        if (const Interval* pulse = placed->first_conflict(t, d)) {
          t = pulse->end + DD_PULSE_SPACING_NS;
          shifted = true;
          break;
        }
      }
    }
    return t;
  }

  // The pulses placed on qubit `j` so far, or null if it has none.
  const PulseTrack* placed_on(Qubit j) const {
    std::optional<std::size_t> s = slots_.find(j);
    if (!s || *s >= intervals_.size() || intervals_[*s].empty()) return nullptr;
    return &intervals_[*s];
  }

  // Places pulses on q (slot s) from time t on, ending by the latest time any qubit of the
  // current node was last busy.
  void place_pulses(Qubit q, std::size_t s, double t, double d) {
    double window_limit = 0.0;
    for (std::size_t other : node_slots_) {
      if (last_end_[other] > window_limit) window_limit = last_end_[other];
    }
    const Qubit pulse_qubits[] = {q};
    for (std::uint32_t name : pulses_) {
      if (num_qubits_ > 0) t = avoid_crosstalk(q, t, d);
      if (t + d > window_limit) break;
      result_.insert_node(name, pulse_qubits, d, pulse_params_);
      intervals_[s].add({t, t + d});
      t = t + (d + DD_PULSE_SPACING_NS);
    }
  }

  std::uint32_t result_string(std::uint32_t source_id) {
    std::uint32_t& mapped = names_[source_id];
    if (mapped == kUnmapped) mapped = result_.strings().intern(source_.strings().text(source_id));
    return mapped;
  }

  void copy_node(const GateNode& node) {
    params_.clear();
    for (const Param& p : node.params) params_.push_back({result_string(p.key), p.value});
    result_.insert_node(result_string(node.name), node.qubits, node.duration_ns, params_);
  }

  const QuantumDAG& source_;
  std::unordered_map<Qubit, double> pulse_durations_;
  std::uint64_t num_qubits_;
  QubitSlots slots_;
  std::vector<double> last_end_;            // by slot; 0.0 until the qubit's first node
  std::vector<PulseTrack> intervals_;       // by slot
  std::unordered_map<Qubit, std::vector<Qubit>> neighbours_;
  std::vector<std::uint32_t> names_;        // source string id -> result string id
  std::vector<std::uint32_t> pulses_;
  std::vector<Param> pulse_params_;
  std::vector<std::size_t> node_slots_;     // slots of the current node's qubits
  std::vector<Param> params_;
  QuantumDAG result_;
};

}  // namespace

QuantumDAG apply_dd_pass(const QuantumDAG& source, std::string_view sequence,
                         std::unordered_map<Qubit, double> pulse_durations,
                         std::uint64_t num_qubits) {
  write_progress_line("Starting apply_dd_pass with " + std::to_string(source.node_count()) +
                      " nodes...");
  QuantumDAG result =
      DdPass(source, sequence, std::move(pulse_durations), num_qubits).run();
  write_progress_line("apply_dd_pass finished! Optimized DAG contains " +
                      std::to_string(result.node_count()) + " nodes.");
  return result;
}

}  // namespace vornak
