#include "dd/plan.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

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
    bool follows = pulse.start <= pulse.end &&
                   (pulses_.empty() || pulse.start >= pulses_.back().end);
    if (!follows && unchained_from_ > pulses_.size()) unchained_from_ = pulses_.size();
    pulses_.push_back(pulse);
  }

  // The pulse placed last, or null.
  const Interval* last() const { return pulses_.empty() ? nullptr : &pulses_.back(); }

  // Forgets the last `count` pulses.
  void drop_last(std::size_t count) {
    pulses_.resize(pulses_.size() - count);
    if (unchained_from_ >= pulses_.size()) unchained_from_ = kChained;
  }

  // The first pulse, in placement order, that overlaps a pulse over (t, t + d), or null.
  const Interval* first_conflict(double t, double d) const {
    if (unchained_from_ == kChained) {
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
  static constexpr std::size_t kChained = std::numeric_limits<std::size_t>::max();
  std::vector<Interval> pulses_;
  // The index of the first pulse that does not follow its predecessor, or kChained.
  std::size_t unchained_from_ = kChained;
};

// The planner's working state. Per-qubit state lives in arrays indexed by the qubit's
// slot; every qubit of the source has its slot from the start. Without kFull the planner
// ignores node flags, the ground state, alignment, spread placement, whole sequences and
// recorded starts, so that the plain pass pays for none of them.
template <bool kFull>
class Planner {
 public:
  Planner(const QuantumDAG& source, const DdPulseDurations& durations,
          const DdPlanOptions& options, std::span<const std::uint8_t> node_flags)
      : source_(source), options_(options), flags_(node_flags), slots_(source) {
    slots_.assign(source.nodes().all_qubits());
    const std::size_t qubits = slots_.size();
    const std::size_t n = options.pulse_count;
    last_end_.assign(qubits, 0.0);
    // Only waits make a qubit's busy time differ from the end of its last node.
    if (!node_flags.empty()) busy_end_.assign(qubits, 0.0);
    busy_ = node_flags.empty() ? &last_end_ : &busy_end_;
    if (options.skip_ground_state) ground_.assign(qubits, 1);
    seen_.assign(qubits, 0);
    tracks_.resize(qubits);
    durations_.assign(qubits * n, 0.0);
    total_.assign(qubits, 0.0);
    for (std::size_t s = 0; s < qubits; ++s) {
      std::span<double> own(durations_.data() + s * n, n);
      if (!durations(slots_.qubit(s), own)) {
        total_[s] = std::numeric_limits<double>::quiet_NaN();  // fails every gap test
        continue;
      }
      if (n == 0) continue;
      bool uniform = std::all_of(own.begin(), own.end(), [&](double d) { return d == own[0]; });
      if (uniform) {
        total_[s] = static_cast<double>(n) * own[0];
      } else {
        for (double d : own) total_[s] += d;
      }
    }
    if (options.num_qubits > 0) collect_neighbours(options.num_qubits);
  }

  DdPlan& run() {
    std::span<const ScheduleEntry> schedule = source_.schedule();
    plan_.scheduled = std::min<std::size_t>(schedule.size(), source_.node_count());
    for (NodeId id = 0; id < plan_.scheduled; ++id) visit_node(id, schedule[id]);
    return plan_;
  }

 private:
  void visit_node(NodeId id, ScheduleEntry entry) {
    const GateNode node = source_.node(id);
    const std::uint8_t flags = kFull && !flags_.empty() ? flags_[id] : 0;
    node_slots_.clear();
    for (Qubit q : node.qubits) node_slots_.push_back(slots_.slot(q));
    if (flags & kDdNodeIdle) {
      for (std::size_t s : node_slots_) busy_end_[s] = entry.end_time;
      return;
    }
    const double start = entry.start_time;
    const bool waits = kFull && !busy_end_.empty();
    const bool ground = kFull && !ground_.empty();
    // A few qubits: each limit read directly, as the rule says; more: all limits in one walk.
    const bool direct = node_slots_.size() <= kDirectLimits;
    bool limits_known = false;
    for (std::size_t i = 0; i < node_slots_.size(); ++i) {
      const std::size_t s = node_slots_[i];
      const double last = last_end_[s];
      if (start - last >= total_[s] * DD_WINDOW_FACTOR && !(ground && ground_[s])) {
        double limit;
        if (kFull && options_.until_node_start) {
          limit = start;
        } else if (direct) {
          limit = 0.0;
          for (std::size_t other : node_slots_) {
            if ((*busy_)[other] > limit) limit = (*busy_)[other];
          }
        } else {
          if (!limits_known) {
            window_limits(id, start);
            limits_known = true;
          }
          limit = limits_[i];
        }
        place(id, node.qubits[i], s, last, limit);
      }
      last_end_[s] = start;
      if (waits) busy_end_[s] = start;
    }
    for (std::size_t s : node_slots_) last_end_[s] = entry.end_time;
    if (waits) {
      for (std::size_t s : node_slots_) busy_end_[s] = entry.end_time;
    }
    if (ground) {
      const std::uint8_t resets = (flags & kDdNodeResets) != 0;
      for (std::size_t s : node_slots_) ground_[s] = resets;
    }
  }

  // limits_[i]: the window limit of the node's i-th qubit visit, for all visits at once.
  // At visit i the qubits visited before read `start`, the others their busy time from
  // before the node, so the limit is the largest of 0.0, `start` (when i > 0) and the busy
  // times of the qubits first listed at i or later. A value replaces the running maximum
  // only when strictly greater, so NaN never wins and the order does not matter.
  void window_limits(NodeId id, double start) {
    const std::size_t k = node_slots_.size();
    limits_.resize(k);
    first_listed_.resize(k);
    const std::uint64_t stamp = id + 1;
    for (std::size_t i = 0; i < k; ++i) {
      std::size_t s = node_slots_[i];
      first_listed_[i] = seen_[s] != stamp;
      seen_[s] = stamp;
    }
    double suffix = 0.0;
    for (std::size_t i = k; i-- > 0;) {
      double busy = (*busy_)[node_slots_[i]];
      if (first_listed_[i] && busy > suffix) suffix = busy;
      limits_[i] = (i > 0 && start > suffix) ? start : suffix;
    }
  }

  static constexpr std::size_t kDirectLimits = 16;

  double align_up(double t) const {
    if (!kFull) return t;
    const double a = options_.alignment;
    return a > 0.0 ? std::ceil(t / a) * a : t;
  }
  double align_down(double t) const {
    if (!kFull) return t;
    const double a = options_.alignment;
    return a > 0.0 ? std::floor(t / a) * a : t;
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
          t = align_up(pulse->end + options_.spacing);
          shifted = true;
          break;
        }
      }
    }
    return t;
  }

  // The spread position of each pulse in a gap from `gap_start` to `gap_end`, in
  // spread_; the free time is cut to the alignment, and what that leaves over goes to the
  // middle interval (as far as aligned) and to the end.
  void spread_positions(std::size_t s, double gap_start, double gap_end) {
    const std::size_t n = options_.pulse_count;
    const double* d = durations_.data() + s * n;
    double pulse_time = 0.0;
    for (std::size_t k = 0; k < n; ++k) pulse_time += d[k];
    // A window too short for the pulses spreads nothing: they start at the gap's start,
    // and the window limit cuts the sequence.
    double slack = (gap_end - gap_start) - pulse_time;
    if (!(slack > 0.0)) slack = 0.0;
    const double inner = 1.0 / static_cast<double>(n);
    taus_.assign(n + 1, 0.0);
    double used = 0.0;
    for (std::size_t k = 0; k <= n; ++k) {
      taus_[k] = align_down(slack * ((k == 0 || k == n) ? inner / 2 : inner));
      used += taus_[k];
    }
    taus_[n / 2] += align_down(slack - used);
    spread_.resize(n);
    double p = gap_start;
    for (std::size_t k = 0; k < n; ++k) {
      p += taus_[k];
      spread_[k] = p;
      p += d[k];
    }
  }

  // Places the sequence on `qubit` (slot `s`) before node `id`, in the gap from
  // `gap_start`; no pulse may end after `limit`.
  void place(NodeId id, Qubit qubit, std::size_t s, double gap_start, double limit) {
    const std::size_t n = options_.pulse_count;
    const double* d = durations_.data() + s * n;
    const bool spread = kFull && options_.placement == DdPlacement::kSpread;
    if (kFull && options_.space_from_last_pulse) {
      // Pulses are placed in time order on a qubit, so the last one placed ends last.
      if (const Interval* last = tracks_[s].last()) {
        gap_start = std::max(gap_start, last->end + options_.spacing);
      }
    }
    if (spread) spread_positions(s, gap_start, limit);
    const std::size_t first_start = plan_.starts.size();
    double t = align_up(gap_start);
    std::uint32_t placed = 0;
    for (; placed < n; ++placed) {
      if (spread) {
        t = placed == 0 ? align_up(spread_[0]) : align_up(std::max(spread_[placed], t));
      }
      if (!neighbours_.empty()) t = avoid_crosstalk(s, t, d[placed]);
      if (t + d[placed] > limit) break;
      tracks_[s].add({t, t + d[placed]});
      if (kFull && options_.record_starts) plan_.starts.push_back(t);
      t = align_up(t + (d[placed] + options_.spacing));
    }
    if (kFull && placed < n && options_.whole_sequences) {
      tracks_[s].drop_last(placed);
      plan_.starts.resize(first_start);
      ++plan_.dropped;
      return;
    }
    if (placed > 0) {
      plan_.runs.push_back({id, qubit, d[0], placed});
    }
  }

  const QuantumDAG& source_;
  const DdPlanOptions options_;
  std::span<const std::uint8_t> flags_;
  QubitSlots slots_;
  std::vector<double> last_end_;   // by slot: end of its last node, 0.0 before the first
  std::vector<double> busy_end_;   // by slot: like last_end_, idle nodes included (if any)
  const std::vector<double>* busy_;  // busy_end_, or last_end_ when there are no idle nodes
  std::vector<std::uint8_t> ground_;  // by slot, with skip_ground_state: no pulses in its next gap
  std::vector<std::uint64_t> seen_;  // by slot: 1 + the id of the last node listing it
  std::vector<PulseTrack> tracks_;   // by slot: the pulses placed so far
  std::vector<double> durations_;    // by slot, pulse_count each: the pulse durations
  std::vector<double> total_;        // by slot: the sum of its pulse durations, NaN for none
  std::vector<std::size_t> neighbour_offsets_;  // by slot, into neighbours_
  std::vector<std::size_t> neighbours_;         // partner slots, see collect_neighbours()
  std::vector<std::size_t> node_slots_;  // slots of the current node's qubits
  std::vector<bool> first_listed_;       // by position in the current node
  std::vector<double> limits_;           // by position in the current node
  std::vector<double> taus_;             // the spread's free intervals
  std::vector<double> spread_;           // the spread positions of the current sequence
  DdPlan plan_;
};

}  // namespace

void plan_dd(const QuantumDAG& source, const DdPulseDurations& durations,
             const DdPlanOptions& options, std::span<const std::uint8_t> node_flags,
             const std::function<void(DdPlan&)>& use) {
  const bool plain = node_flags.empty() && !options.skip_ground_state &&
                     options.alignment == 0.0 && options.placement == DdPlacement::kStart &&
                     !options.whole_sequences && !options.record_starts &&
                     !options.space_from_last_pulse && !options.until_node_start;
  if (plain) {
    Planner<false> planner(source, durations, options, node_flags);
    use(planner.run());
  } else {
    Planner<true> planner(source, durations, options, node_flags);
    use(planner.run());
  }
}

DdPlan plan_dd(const QuantumDAG& source, const DdPulseDurations& durations,
               const DdPlanOptions& options, std::span<const std::uint8_t> node_flags) {
  DdPlan result;
  plan_dd(source, durations, options, node_flags, [&](DdPlan& plan) { result = std::move(plan); });
  return result;
}

}  // namespace vornak
