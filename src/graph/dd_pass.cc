#include "graph/dd_pass.h"

#include <algorithm>
#include <optional>
#include <span>
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
      // since every later one starts after it ends. Pulses are placed roughly in time
      // order, so t is usually past the last pulse or close to it: search from the end,
      // in steps that double, then bisect the last step.
      auto ends_after_t = [t](const Interval& p) { return p.end > t; };
      std::size_t hi = pulses_.size();  // pulses_[hi..] all end after t
      std::size_t step = 1;
      while (hi > 0 && ends_after_t(pulses_[hi - 1])) {
        std::size_t lo = hi > step ? hi - step : 0;
        if (!ends_after_t(pulses_[lo])) {
          hi = std::partition_point(pulses_.begin() + lo + 1, pulses_.begin() + hi,
                                    [&](const Interval& p) { return !ends_after_t(p); }) -
               pulses_.begin();
          break;
        }
        hi = lo;
        step *= 2;
      }
      if (hi < pulses_.size() && t + d > pulses_[hi].start) return &pulses_[hi];
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

// The pass's working state and the graph it builds. Per-qubit state lives in arrays
// indexed by the qubit's slot; every qubit of the source has its slot from the start.
class DdPass {
 public:
  DdPass(const QuantumDAG& source, std::string_view sequence,
         const std::unordered_map<Qubit, double>& pulse_durations, std::uint64_t num_qubits)
      : source_(source), slots_(source) {
    // The result's string ids are the source's, so nodes are copied without renaming.
    for (std::uint32_t id = 0; id < source.strings().size(); ++id) {
      result_.strings().intern(source.strings().text(id));
    }
    slots_.assign(source.nodes().all_qubits());
    std::size_t qubits = slots_.size();
    last_end_.assign(qubits, 0.0);
    tracks_.resize(qubits);
    durations_.assign(qubits, DD_DEFAULT_PULSE_NS);
    for (const auto& [q, d] : pulse_durations) {
      if (std::optional<std::size_t> s = slots_.find(q)) durations_[*s] = d;
    }
    std::uint32_t x = result_.strings().intern("DD_X");
    std::uint32_t y = result_.strings().intern("DD_Y");
    pulses_ = sequence == "XY4" ? std::vector<std::uint32_t>{x, y, x, y}
                                : std::vector<std::uint32_t>{x, y};
    pulse_params_ = {{result_.strings().intern("amp"), 0.15},
                     {result_.strings().intern("sigma"), 40.0},
                     {result_.strings().intern("beta"), 0.5}};
    if (num_qubits > 0) collect_neighbours(num_qubits);
  }

  // Decides every pulse first, then builds the result with its storage sized once.
  QuantumDAG run() && {
    std::size_t scheduled = plan();
    std::size_t pulses = 0;
    for (const PulseRun& run : runs_) pulses += run.count;
    result_.reserve(scheduled + pulses, source_.nodes().all_qubits().size() + pulses,
                    source_.nodes().param_count() + pulses * pulse_params_.size());
    NodeId copied = 0;
    for (const PulseRun& run : runs_) {
      result_.insert_copies(source_, copied, run.before);
      copied = run.before;
      for (std::uint32_t i = 0; i < run.count; ++i) {
        result_.insert_node(pulses_[i], {&run.qubit, 1}, run.duration, pulse_params_);
      }
    }
    result_.insert_copies(source_, copied, scheduled);
    return std::move(result_);
  }

 private:
  // The first `count` pulses of the sequence, on `qubit`, before node `before`.
  struct PulseRun {
    NodeId before;
    Qubit qubit;
    double duration;
    std::uint32_t count;
  };

  // Walks the scheduled nodes in id order and records in runs_ the pulses placed before
  // each. Returns the number of nodes that have a schedule entry.
  std::size_t plan() {
    std::span<const ScheduleEntry> schedule = source_.schedule();
    std::size_t scheduled = std::min<std::size_t>(schedule.size(), source_.node_count());
    const double window = static_cast<double>(pulses_.size());
    for (NodeId id = 0; id < scheduled; ++id) {
      const ScheduleEntry entry = schedule[id];
      GateNode node = source_.node(id);
      node_slots_.clear();
      for (Qubit q : node.qubits) node_slots_.push_back(slots_.slot(q));
      for (std::size_t i = 0; i < node_slots_.size(); ++i) {
        std::size_t s = node_slots_[i];
        double last = last_end_[s];
        double d = durations_[s];
        if (entry.start_time - last >= (window * d) * DD_WINDOW_FACTOR) {
          if (std::uint32_t count = place_pulses(s, last, d)) {
            runs_.push_back({id, node.qubits[i], d, count});
          }
        }
        last_end_[s] = entry.start_time;
      }
      for (std::size_t s : node_slots_) last_end_[s] = entry.end_time;
    }
    return scheduled;
  }

  // For each slot, the slots of its coupled partners that lie below num_qubits, in
  // increasing order of the partners' indices: the order in which the crosstalk check
  // looks at them. Partners without a slot never carry a pulse and are left out.
  void collect_neighbours(std::uint64_t num_qubits) {
    struct Partner {
      std::size_t slot;
      Qubit qubit;
      std::size_t partner_slot;
    };
    std::vector<Partner> partners;
    source_.for_each_coupling([&](Qubit a, Qubit b) {
      if (b >= num_qubits) return;
      std::optional<std::size_t> sa = slots_.find(a), sb = slots_.find(b);
      if (sa && sb) partners.push_back({*sa, b, *sb});
    });
    std::sort(partners.begin(), partners.end(), [](const Partner& x, const Partner& y) {
      return x.slot != y.slot ? x.slot < y.slot : x.qubit < y.qubit;
    });
    neighbour_offsets_.assign(slots_.size() + 1, 0);
    neighbours_.reserve(partners.size());
    for (const Partner& p : partners) {
      ++neighbour_offsets_[p.slot + 1];
      neighbours_.push_back(p.partner_slot);
    }
    for (std::size_t s = 0; s < slots_.size(); ++s) {
      neighbour_offsets_[s + 1] += neighbour_offsets_[s];
    }
  }

  // Moves `t` past every conflicting pulse on a coupled qubit of slot `s`, restarting
  // the scan after each shift; returns when a whole scan finds no conflict.
  double avoid_crosstalk(std::size_t s, double t, double d) const {
    const std::size_t* first = neighbours_.data() + neighbour_offsets_[s];
    const std::size_t* last = neighbours_.data() + neighbour_offsets_[s + 1];
    for (bool shifted = true; shifted;) {
      shifted = false;
      for (const std::size_t* j = first; j != last; ++j) {
        if (const Interval* pulse = tracks_[*j].first_conflict(t, d)) {
          t = pulse->end + DD_PULSE_SPACING_NS;
          shifted = true;
          break;
        }
      }
    }
    return t;
  }

  // Places pulses on slot s from time t on, ending by the latest time any qubit of the
  // current node was last busy. Returns how many of the sequence's pulses fit.
  std::uint32_t place_pulses(std::size_t s, double t, double d) {
    double window_limit = 0.0;
    for (std::size_t other : node_slots_) {
      if (last_end_[other] > window_limit) window_limit = last_end_[other];
    }
    std::uint32_t placed = 0;
    for (; placed < pulses_.size(); ++placed) {
      if (!neighbours_.empty()) t = avoid_crosstalk(s, t, d);
      if (t + d > window_limit) break;
      tracks_[s].add({t, t + d});
      t = t + (d + DD_PULSE_SPACING_NS);
    }
    return placed;
  }

  const QuantumDAG& source_;
  QubitSlots slots_;
  std::vector<double> last_end_;            // by slot; 0.0 until the qubit's first node
  std::vector<PulseTrack> tracks_;          // by slot: the pulses placed so far
  std::vector<double> durations_;           // by slot: the qubit's pulse duration
  std::vector<std::size_t> neighbour_offsets_;  // by slot, into neighbours_
  std::vector<std::size_t> neighbours_;     // partner slots, see collect_neighbours()
  std::vector<std::uint32_t> pulses_;
  std::vector<Param> pulse_params_;
  std::vector<std::size_t> node_slots_;     // slots of the current node's qubits
  std::vector<PulseRun> runs_;              // the pulses decided, in result order
  QuantumDAG result_;
};

}  // namespace

QuantumDAG apply_dd_pass(const QuantumDAG& source, std::string_view sequence,
                         const std::unordered_map<Qubit, double>& pulse_durations,
                         std::uint64_t num_qubits) {
  write_progress_line("Starting apply_dd_pass with " + std::to_string(source.node_count()) +
                      " nodes...");
  QuantumDAG result = DdPass(source, sequence, pulse_durations, num_qubits).run();
  write_progress_line("apply_dd_pass finished! Optimized DAG contains " +
                      std::to_string(result.node_count()) + " nodes.");
  return result;
}

}  // namespace vornak
