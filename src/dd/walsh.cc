#include "dd/walsh.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <utility>

#include "dd/coupling_colours.h"
#include "dd/refocus_cost.h"
#include "dd/walsh_shift.h"
#include "graph/qubit_slots.h"

namespace vornak {
namespace {

// The most pulses the bound on free time gives one part: a wait of milliseconds still gets a
// pulse every few µs, and a wait of 2**53 dt no more pulses than memory holds.
constexpr double kMostBoundedPulses = 1024.0;

// A stretch of one qubit's idle time.
struct Stretch {
  double begin;
  double end;
  NodeId before;
  std::size_t slot;
};

// A run before its final place in the plan; its pulses start at starts_[offset ..].
struct PendingRun {
  NodeId before;
  Qubit qubit;
  std::size_t offset;
  std::uint32_t count;
  double duration;
  std::size_t stretch;  // its index in stretches_
};

class WalshPlanner {
 public:
  WalshPlanner(const QuantumDAG& source, const DdPulseDurations& durations,
               const DdWalshOptions& options, std::span<const std::uint8_t> node_flags,
               std::vector<DdWalshPiece>* pieces)
      : source_(source), options_(options), flags_(node_flags), pieces_(pieces),
        pieces_at_start_(pieces != nullptr ? pieces->size() : 0), slots_(source) {
    slots_.assign(source.nodes().all_qubits());
    const std::size_t qubits = slots_.size();
    const std::size_t n = options.pulse_count;
    durations_.assign(qubits * n, 0.0);
    base_time_.assign(qubits, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t s = 0; s < qubits; ++s) {
      std::span<double> own(durations_.data() + s * n, n);
      if (n == 0 || !durations(slots_.qubit(s), own)) continue;  // NaN fails every length test
      double total = 0.0;
      for (double d : own) total += d;
      base_time_[s] = total;
    }
  }

  DdPlan run() {
    std::span<const ScheduleEntry> schedule = source_.schedule();
    plan_.scheduled = std::min<std::size_t>(schedule.size(), source_.node_count());
    collect_stretches();
    collect_couplings();
    colour();
    cut_in_colour_order();
    take_the_cheaper_side();
    if (options_.noise != nullptr) choose_by_noise();
    return finish();
  }

 private:
  bool takes_pulses(std::size_t s) const { return !std::isnan(base_time_[s]); }

  // The idle stretches of every qubit that takes pulses, long enough for the base sequence.
  void collect_stretches() {
    const std::size_t qubits = slots_.size();
    std::vector<double> last_end(qubits, 0.0);
    std::vector<std::uint8_t> ground(qubits, 1);
    std::vector<std::uint8_t> seen(qubits, 0);
    middles_.assign(qubits, {});
    flip_middles_.assign(qubits, {});
    const bool noise = options_.noise != nullptr && !noise_reads_middles();
    if (noise) {
      noise_turns_.assign(qubits, {});
      noise_flips_.assign(qubits, {});
    }
    std::span<const ScheduleEntry> schedule = source_.schedule();
    // At most one stretch per qubit visit and one trailing per qubit.
    stretches_.reserve(source_.nodes().all_qubits().size() + qubits);
    double circuit_end = 0.0;
    for (NodeId id = 0; id < plan_.scheduled; ++id) {
      const ScheduleEntry entry = schedule[id];
      if (entry.end_time > circuit_end) circuit_end = entry.end_time;
      const std::uint8_t flags = flags_.empty() ? 0 : flags_[id];
      if (flags & kDdNodeIdle) continue;
      const GateNode node = source_.node(id);
      // Where the node turns its qubits' frames: its middle, or the start of a measurement.
      const double turn = (flags & kDdNodeReads)
                              ? entry.start_time
                              : entry.start_time + (entry.end_time - entry.start_time) / 2;
      for (std::size_t position = 0; position < node.qubits.size(); ++position) {
        const Qubit q = node.qubits[position];
        const std::size_t s = slots_.slot(q);
        add_stretch(s, last_end[s], entry.start_time, id, ground[s]);
        last_end[s] = entry.end_time;
        seen[s] = 1;
        if (options_.cut_at_neighbour_operations && entry.end_time > entry.start_time &&
            dd_node_turns_frame(flags, position)) {
          const bool flip = options_.shift_at_flips && dd_node_flips_frame(flags, position);
          (flip ? flip_middles_ : middles_)[s].push_back(turn);
        }
        if (noise && entry.end_time > entry.start_time && dd_node_turns_frame(flags, position)) {
          (dd_node_flips_frame(flags, position) ? noise_flips_ : noise_turns_)[s].push_back(turn);
        }
      }
      if (options_.skip_ground_state) {
        const std::uint8_t resets = (flags & kDdNodeResets) != 0;
        for (Qubit q : node.qubits) ground[slots_.slot(q)] = resets;
      }
    }
    circuit_end_ = circuit_end;
    if (options_.trailing) {
      for (std::size_t s = 0; s < qubits; ++s) {
        if (seen[s]) add_stretch(s, last_end[s], circuit_end, source_.node_count(), ground[s]);
      }
    }
  }

  void add_stretch(std::size_t s, double begin, double end, NodeId before, bool ground) {
    if (!takes_pulses(s) || (ground && options_.skip_ground_state)) return;
    if (!(end > begin) || !(end - begin >= base_time_[s] * DD_WINDOW_FACTOR)) return;
    stretches_.push_back({begin, end, before, s});
  }

  // The coupling graph between qubits that take pulses, by slot.
  void collect_couplings() {
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    source_.for_each_coupling([&](Qubit a, Qubit b) {
      if (a == b) return;
      std::optional<std::size_t> sa = slots_.find(a), sb = slots_.find(b);
      if (sa && sb && takes_pulses(*sa) && takes_pulses(*sb)) pairs.emplace_back(*sa, *sb);
    });
    graph_.connect(slots_.size(), pairs);
  }

  std::span<const std::size_t> neighbours(std::size_t s) const { return graph_.neighbours(s); }

  // Colours the qubits that take pulses (CouplingColours::assign()).
  void colour() {
    std::vector<std::uint8_t> coloured(slots_.size());
    for (std::size_t s = 0; s < slots_.size(); ++s) coloured[s] = takes_pulses(s);
    graph_.assign(coloured);
  }

  // The pulses of each connected part of the coupling graph, by part.
  std::vector<std::size_t> pulses_by_component() {
    std::vector<std::size_t> out(graph_.two_coloured().size(), 0);
    for (const PendingRun& r : pending_) out[graph_.component(slots_.slot(r.qubit))] += r.count;
    return out;
  }

  // Which side of a two-coloured part goes first decides where the pulses go: the second
  // side is cut at the first side's pulses as well as at operations, so it takes more
  // pulses. Both choices refocus alike (each pair's ZZ vanishes either way), and every pulse
  // adds its error: each such part keeps the colouring that needs fewer pulses (the first
  // one on a tie). Plans the whole circuit a second time, and a third where the parts
  // choose differently.
  void take_the_cheaper_side() {
    const std::vector<bool>& two_coloured = graph_.two_coloured();
    if (std::find(two_coloured.begin(), two_coloured.end(), true) == two_coloured.end()) {
      return;
    }
    const std::vector<std::size_t> first = pulses_by_component();
    // This side's plan, kept to be taken back whole where every part prefers it.
    std::vector<double> first_starts = std::move(starts_);
    std::vector<PendingRun> first_pending = std::move(pending_);
    const std::size_t first_dropped = plan_.dropped;
    std::vector<DdWalshPiece> first_pieces;
    if (pieces_ != nullptr) {
      first_pieces.assign(pieces_->begin() + static_cast<std::ptrdiff_t>(pieces_at_start_), pieces_->end());
    }
    graph_.flip_sides(two_coloured);
    cut_again();
    const std::vector<std::size_t> second = pulses_by_component();
    std::vector<bool> back(two_coloured.size(), false);
    bool any = false, all = true;
    for (std::size_t c = 0; c < back.size(); ++c) {
      back[c] = two_coloured[c] && first[c] <= second[c];
      any = any || back[c];
      all = all && back[c] == two_coloured[c];
    }
    if (!any) return;
    graph_.flip_sides(back);
    if (!all) {
      cut_again();
      return;
    }
    starts_ = std::move(first_starts);
    pending_ = std::move(first_pending);
    plan_.dropped = first_dropped;
    if (pieces_ != nullptr) {
      pieces_->resize(pieces_at_start_);
      pieces_->insert(pieces_->end(), first_pieces.begin(), first_pieces.end());
    }
  }

  void cut_again() {
    starts_.clear();
    pending_.clear();
    plan_.dropped = 0;
    if (pieces_ != nullptr) pieces_->resize(pieces_at_start_);
    cut_in_colour_order();
  }

  // Cuts every qubit's stretches into parts, colour after colour, at the middles of its
  // neighbours' operations and at the pulse centres of its neighbours of lower colours, and
  // fills them (place_parts()).
  void cut_in_colour_order() {
    const std::size_t qubits = slots_.size();
    std::vector<std::size_t> order;
    for (std::size_t s = 0; s < qubits; ++s) {
      if (graph_.colour(s) != CouplingColours::kNone) order.push_back(s);
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t x, std::size_t y) { return graph_.colour(x) < graph_.colour(y); });
    std::vector<std::size_t>& first = stretch_first_;
    first.assign(qubits + 1, 0);
    for (const Stretch& st : stretches_) ++first[st.slot + 1];
    for (std::size_t s = 0; s < qubits; ++s) first[s + 1] += first[s];
    std::vector<std::size_t>& by_slot = stretch_by_slot_;
    by_slot.assign(stretches_.size(), 0);
    {
      std::vector<std::size_t> next(first.begin(), first.end() - 1);
      for (std::size_t i = 0; i < stretches_.size(); ++i) by_slot[next[stretches_[i].slot]++] = i;
    }
    centres_.assign(qubits, {});
    last_pulse_end_.assign(qubits, -std::numeric_limits<double>::infinity());
    std::vector<double> cuts, flips, shifted_pulses, shifted_operations;
    for (std::size_t s : order) {
      // A slot's stretches come in time order: each neighbour's lists are walked once, from
      // where the stretch before left them (kCursors places per neighbour).
      cursors_.assign(kCursors * neighbours(s).size(), 0);
      for (std::size_t k = first[s]; k < first[s + 1]; ++k) {
        const Stretch& st = stretches_[by_slot[k]];
        cuts.clear();
        flips.clear();
        shifted_pulses.clear();
        shifted_operations.clear();
        // The neighbour whose frame flips most often in the stretch is followed across its
        // flips instead of cut at them (shift_at_flips): one neighbour at a time can be.
        const std::size_t followed = most_flipping_neighbour(s, st);
        std::size_t* cursor = cursors_.data();
        for (std::size_t u : neighbours(s)) {
          const bool follow = u == followed;
          append_within(middles_[u], st, cursor[0], cuts);
          append_within(flip_middles_[u], st, cursor[1],
                        follow ? shifted_operations : cuts);
          if (lower_colour(u, s)) {
            append_within(centres_[u], st, cursor[2], follow ? shifted_pulses : flips);
          }
          cursor += kCursors;
        }
        for (auto* list : {&cuts, &flips, &shifted_pulses, &shifted_operations}) {
          std::sort(list->begin(), list->end());
          list->erase(std::unique(list->begin(), list->end()), list->end());
        }
        place_parts(s, by_slot[k], flips, cuts, shifted_pulses, shifted_operations);
      }
    }
  }

  bool lower_colour(std::size_t u, std::size_t s) const {
    return graph_.colour(u) < graph_.colour(s);
  }

  // The first of sorted `times` after the start of stretch `st`, found from `from` on, which
  // it moves there (a later stretch of the same slot then starts from it).
  static std::size_t first_within(const std::vector<double>& times, const Stretch& st,
                                  std::size_t& from) {
    while (from < times.size() && times[from] <= st.begin) ++from;
    return from;
  }

  // Appends the times of sorted `times` strictly inside stretch `st` to `out`.
  static void append_within(const std::vector<double>& times, const Stretch& st,
                            std::size_t& from, std::vector<double>& out) {
    for (std::size_t i = first_within(times, st, from); i < times.size() && times[i] < st.end; ++i) {
      out.push_back(times[i]);
    }
  }

  static std::size_t count_within(const std::vector<double>& times, const Stretch& st,
                                  std::size_t& from) {
    std::size_t i = first_within(times, st, from);
    const std::size_t begin = i;
    while (i < times.size() && times[i] < st.end) ++i;
    return i - begin;
  }

  // Whether slot `u` has a stretch of idle time overlapping `st` (in which it may take pulses).
  // `from`: u's stretch to look from, as for first_within().
  bool idles_within(std::size_t u, const Stretch& st, std::size_t& from) const {
    const std::size_t end = stretch_first_[u + 1] - stretch_first_[u];
    const std::size_t* own = stretch_by_slot_.data() + stretch_first_[u];
    while (from < end && stretches_[own[from]].end <= st.begin) ++from;
    return from < end && stretches_[own[from]].begin < st.end;
  }

  // The neighbour of `s` whose frame flips most often inside `st` (at its flipping operations
  // and, for a lower colour, its pulses), or slots_.size() where none flips there or flips are
  // cut at (shift_at_flips off). Its frame must be known all over `st`: a neighbour of a
  // higher colour that idles within it takes pulses later, which turn its frame there in ways
  // this plan cannot follow (its own parts answer for the pair inside its stretch, and ours
  // must then leave ∫ s = 0 over that stretch, as cutting at its operations' middles does).
  // Each neighbour's cursors_ (see cut_in_colour_order()) move on to the stretch.
  std::size_t most_flipping_neighbour(std::size_t s, const Stretch& st) {
    std::size_t best = slots_.size(), most = 0;
    if (!options_.shift_at_flips) return best;
    std::size_t* cursor = cursors_.data();
    for (std::size_t u : neighbours(s)) {
      std::size_t* own = cursor;
      cursor += kCursors;
      if (!lower_colour(u, s) && idles_within(u, st, own[3])) continue;
      std::size_t count = count_within(flip_middles_[u], st, own[1]);
      if (lower_colour(u, s)) count += count_within(centres_[u], st, own[2]);
      if (count > most) {
        most = count;
        best = u;
      }
    }
    return best;
  }

  // Fills stretch `index` of slot `s`: cut at `flips` and `middles`, and followed across
  // `shifted_pulses` and `shifted_operations` (one neighbour's flips, fill_parts()); where that
  // does not fit, cut at those too; where nothing fits, the plain sequence over the stretch.
  void place_parts(std::size_t s, std::size_t index, const std::vector<double>& flips,
                   const std::vector<double>& middles, const std::vector<double>& shifted_pulses,
                   const std::vector<double>& shifted_operations) {
    const Stretch& st = stretches_[index];
    const std::size_t n = options_.pulse_count;
    const std::size_t offset = starts_.size();
    std::size_t total = 0;
    bool closing = false;
    bool fits;
    if (shifted_pulses.empty() && shifted_operations.empty()) {
      fits = fill_parts(s, st, flips, middles, nullptr, total, closing);
    } else {
      fits = fill_followed(s, st, flips, middles, shifted_pulses, shifted_operations, total,
                           closing);
    }
    const bool plain = !fits;
    if (!fits) {
      // No part has room for a pulse, or the pulses did not fit once aligned and spaced: the
      // plain sequence over the whole stretch, which refocuses its detuning (and the ZZ with
      // neighbours busy throughout) and leaves no gap bare that a sequence fits in.
      starts_.resize(offset);
      bounds_.assign({st.begin, st.end});
      counts_.assign(1, std::lcm(n, std::size_t{2}));
      shifted_.assign(1, 0);
      total = counts_[0];
      closing = false;
      fits = place_counts(s, st, closing, total);
    }
    if (!fits) {
      starts_.resize(offset);
      ++plan_.dropped;
      total = 0;
      std::fill(counts_.begin(), counts_.end(), 0);
    }
    record_stretch(s, index, offset, total, plain);
  }

  // fill_parts() with the followed flips `shifted_pulses` and `shifted_operations`. A flipped
  // part too short for its pattern, or with no shift orthogonal to the flips that leaves its
  // pulses their room, is cut at its flips instead (where they leave the parts already cut
  // their room), and the stretch filled again, twice at most; where it still does not fit,
  // cut at every flip, as where none is followed. starts_ keeps only the last attempt's.
  bool fill_followed(std::size_t s, const Stretch& st, const std::vector<double>& flips,
                     const std::vector<double>& middles, const std::vector<double>& shifted_pulses,
                     const std::vector<double>& shifted_operations, std::size_t& total,
                     bool& closing) {
    const std::size_t offset = starts_.size();
    merged(shifted_pulses, shifted_operations, followed_);
    late_.clear();
    shift_memo_.clear();
    bool fits = fill_parts(s, st, flips, middles, &followed_, total, closing);
    for (int again = 0; again < 2 && !fits && !unfit_.empty(); ++again) {
      starts_.resize(offset);
      for (std::size_t i : unfit_) {
        auto first = std::upper_bound(followed_.begin(), followed_.end(), bounds_[i]);
        auto end = std::lower_bound(first, followed_.end(), bounds_[i + 1]);
        late_.insert(late_.end(), first, end);
        std::fill(first, end, std::numeric_limits<double>::quiet_NaN());
      }
      std::erase_if(followed_, [](double t) { return std::isnan(t); });
      std::sort(late_.begin(), late_.end());
      fits = fill_parts(s, st, flips, middles, &followed_, total, closing);
    }
    if (fits) return true;
    starts_.resize(offset);
    merged(flips, shifted_pulses, all_flips_);
    merged(middles, shifted_operations, all_middles_);
    return fill_parts(s, st, all_flips_, all_middles_, nullptr, total, closing);
  }

  // Records the parts of stretch `index` of slot `s` (bounds_, counts_, shifted_) in pieces_,
  // and its `total` pulses, starts_[offset ..], as a run and in centres_ and last_pulse_end_.
  // `plain`: the stretch took the plain sequence, if any.
  void record_stretch(std::size_t s, std::size_t index, std::size_t offset, std::size_t total,
                      bool plain) {
    const Stretch& st = stretches_[index];
    const std::size_t n = options_.pulse_count;
    const double* d = durations_.data() + s * n;
    if (pieces_ != nullptr) {
      for (std::size_t i = 0; i + 1 < bounds_.size(); ++i) {
        pieces_->push_back({slots_.qubit(s), st.before, bounds_[i], bounds_[i + 1],
                            graph_.colour(s), static_cast<std::uint32_t>(counts_[i]),
                            plain && total > 0, counts_[i] > 0 && shifted_[i] != 0});
      }
    }
    if (total == 0) return;
    last_pulse_end_[s] = starts_.back() + d[(total - 1) % n];
    for (std::size_t i = 0; i < total; ++i) centres_[s].push_back(starts_[offset + i] + d[i % n] / 2);
    pending_.push_back(
        {st.before, slots_.qubit(s), offset, static_cast<std::uint32_t>(total), d[0], index});
  }

  static void merged(const std::vector<double>& a, const std::vector<double>& b,
                     std::vector<double>& out) {
    out.clear();
    std::merge(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    out.erase(std::unique(out.begin(), out.end()), out.end());
  }

  // Cuts stretch `st` of slot `s` at `flips` and `middles` into parts and places their pulses
  // (appended to starts_): each part holds j >= 1 pulses centred at (2i + 1) / 2j of it
  // (i < j), which leaves ∫ s = 0 over the part whatever sign it starts with, or none where one
  // pulse does not fit. A part with times of `followed` inside (a neighbour's sign flips, when
  // given) is shifted instead: 2k pulses L / 2k apart, moved together until the ZZ with that
  // neighbour integrates to zero over the part (shifted_pattern_start()). The stretch's total
  // is made a whole number of sequences (and even) by adding pulses to the other parts with
  // the most room, or else by taking them from those with the least. Returns whether every
  // pulse fits (total > 0); `total` and `closing` are those of place_counts().
  bool fill_parts(std::size_t s, const Stretch& st, const std::vector<double>& flips,
                  const std::vector<double>& middles, const std::vector<double>* followed,
                  std::size_t& total, bool& closing) {
    const double room = part_room(s);
    cut_parts(st, flips, middles, room);
    if (followed != nullptr) {
      add_late_cuts(room);
      // The earlier attempts' shift searches, looked up by shift_memo_.start().
      shift_memo_.seal();
    }
    total = count_parts(followed, room);
    if (!unfit_.empty()) return false;
    if (!whole_repetitions(room, total, closing)) return false;
    return total > 0 && place_counts(s, st, closing, total);
  }

  // The free time a part of slot `s` needs for a pulse: the pulse's own length on both sides
  // (and the spacing, and one alignment unit the rounding may move it by). A pulse turns the
  // frame over its whole length, not at its middle as the sign model has it, so in a shorter
  // part the pulse itself would be most of what refocuses, and every pulse adds its error:
  // the room trades a little refocusing for far fewer pulses.
  double part_room(std::size_t s) const {
    const std::size_t n = options_.pulse_count;
    const double* d = durations_.data() + s * n;
    double longest = 0.0;
    for (std::size_t i = 0; i < n; ++i) longest = std::max(longest, d[i]);
    return std::max(3.0 * longest, longest + options_.spacing + options_.alignment);
  }

  // Sets bounds_ to the ends of `st` and the cuts kept of `flips` and `middles` (sorted), in
  // order. Turns closer together than one pulse needs cannot each be followed. The pulses of
  // neighbours of lower colours come first: one less than `room` after the last one kept is
  // left out. A middle of a neighbour's operation is kept only `room` or more away from
  // every cut kept and from both ends of the stretch, so that every part holds a pulse
  // even beside a neighbour running short gates back to back. A turn left out lies within
  // `room` of its part's start or end, so it keeps a ZZ phase of at most 2 room.
  void cut_parts(const Stretch& st, const std::vector<double>& flips,
                 const std::vector<double>& middles, double room) {
    kept_.assign(1, st.begin);
    for (double t : flips) {
      if (t - kept_.back() >= room && st.end - t >= room) kept_.push_back(t);
    }
    kept_.push_back(st.end);
    bounds_.assign(1, st.begin);
    std::size_t next = 1;  // the first kept cut after the bounds so far
    for (double t : middles) {
      while (next < kept_.size() && kept_[next] <= t) bounds_.push_back(kept_[next++]);
      if (t - bounds_.back() >= room && next < kept_.size() && kept_[next] - t >= room) {
        bounds_.push_back(t);
      }
    }
    while (next + 1 < kept_.size()) bounds_.push_back(kept_[next++]);
    bounds_.push_back(st.end);
  }

  // Adds to bounds_ the followed flips given up on (late_, place_parts()) that leave both
  // parts beside them `room`.
  void add_late_cuts(double room) {
    for (double t : late_) {
      const auto after = std::upper_bound(bounds_.begin(), bounds_.end(), t);
      if (after == bounds_.begin() || after == bounds_.end()) continue;
      if (t - *(after - 1) >= room && *after - t >= room) bounds_.insert(after, t);
    }
  }

  // Sets counts_, shifted_ and shifts_ of every part of bounds_, and unfit_ to the parts with
  // times of `followed` inside that found no shifted pattern (they count no pulses). Returns
  // the pulses counted.
  std::size_t count_parts(const std::vector<double>* followed, double room) {
    const std::size_t parts = bounds_.size() - 1;
    counts_.assign(parts, 0);
    shifted_.assign(parts, 0);
    shifts_.assign(parts, 0.0);
    std::size_t total = 0;
    unfit_.clear();
    for (std::size_t i = 0; i < parts; ++i) {
      const double a = bounds_[i], b = bounds_[i + 1];
      const double length = b - a;
      // One pulse refocuses the part; with a bound on the free time, as many as keep the time
      // between pulses within it (and each its room).
      std::size_t j = 1;
      if (options_.max_free > 0.0) {
        const double bounded = std::min({std::ceil(length / options_.max_free),
                                         std::floor(length / room), kMostBoundedPulses});
        j = std::max<std::size_t>(1, static_cast<std::size_t>(bounded));
      }
      const std::span<const double> inside =
          followed != nullptr ? times_inside(*followed, a, b) : std::span<const double>{};
      if (!inside.empty()) {
        if (shift_part(i, j, inside, room)) {
          total += counts_[i];
        } else {
          unfit_.push_back(i);
        }
      } else if (length >= room) {
        counts_[i] = j;
        total += j;
      }
    }
    return total;
  }

  // Gives part `i` a shifted pattern orthogonal to the followed flips `inside` it, of about
  // the `j` pulses an unshifted part would take; false where none leaves its pulses their
  // room. Two pulses at least, and in pairs: a shift by L / 2k turns the pattern's signs
  // over. Where the shift that answers puts a pulse within half its room of an end (a
  // pattern of the neighbour's own period is orthogonal only a quarter of a period off), a
  // pair more changes the period: up to two more pairs are tried.
  bool shift_part(std::size_t i, std::size_t j, std::span<const double> inside, double room) {
    const double a = bounds_[i], b = bounds_[i + 1];
    const std::size_t most = static_cast<std::size_t>((b - a) / (2 * room));
    std::size_t k = std::max<std::size_t>(1, (j + 1) / 2);
    std::optional<double> shift;
    for (; k <= most && k <= (j + 1) / 2 + 2 && !shift; ++k) {
      shift = shift_memo_.start(a, b, 2 * k, inside, room / 2);
    }
    if (!shift) return false;
    --k;
    counts_[i] = 2 * k;
    shifted_[i] = 1;
    shifts_[i] = *shift;
    return true;
  }

  // Makes `total`, the pulses of counts_, a whole number of sequences (and even): first the
  // closing pulse where one is missing, then pulses added to the unshifted parts with the
  // most room while each keeps `room`, else taken from those with the least. Sets `closing`
  // (see place_counts()); false where no part can give up pulses.
  bool whole_repetitions(double room, std::size_t& total, bool& closing) {
    const std::size_t parts = counts_.size();
    const std::size_t unit = std::lcm(options_.pulse_count, std::size_t{2});
    auto share = [&](std::size_t i, std::size_t j) { return (bounds_[i + 1] - bounds_[i]) / j; };
    // The cheapest odd extra pulse is one at the very end of the stretch: the last part then
    // holds an even number j of pulses centred at i / j of it (i = 1 .. j), all h before,
    // which leaves ∫ s = 0 and turns the sign, for the neighbours cut at it, only h before
    // the stretch ends. That part grows by two at a time, the others by one.
    std::size_t need = (unit - total % unit) % unit;
    const std::size_t last = parts - 1;
    closing = need % 2 == 1 && counts_[last] == 1 && share(last, 2) >= room;
    if (closing) {
      counts_[last] = 2;
      ++total;
      --need;
    }
    auto step = [&](std::size_t i) -> std::size_t { return closing && i == last ? 2 : 1; };
    // A shifted part keeps its pattern: pulses are added to or taken from the others.
    auto adjustable = [&](std::size_t i) { return counts_[i] > 0 && shifted_[i] == 0; };
    while (need > 0) {
      std::size_t pick = parts;
      for (std::size_t i = 0; i < parts; ++i) {
        if (adjustable(i) && step(i) <= need && share(i, counts_[i] + step(i)) >= room &&
            (pick == parts ||
             share(i, counts_[i] + step(i)) > share(pick, counts_[pick] + step(pick)))) {
          pick = i;
        }
      }
      if (pick == parts) break;
      counts_[pick] += step(pick);
      total += step(pick);
      need -= step(pick);
    }
    while (total % unit != 0) {  // no room for more: fewer
      std::size_t pick = parts;
      for (std::size_t i = 0; i < parts; ++i) {
        if (adjustable(i) && (pick == parts || share(i, counts_[i]) < share(pick, counts_[pick]))) {
          pick = i;
        }
      }
      if (pick == parts) return false;
      const std::size_t fewer = step(pick);
      counts_[pick] -= fewer;
      total -= fewer;
      if (counts_[pick] == 0 && pick == last) closing = false;
    }
    return true;
  }

  // The times of sorted `times` strictly inside (a, b).
  static std::span<const double> times_inside(const std::vector<double>& times, double a,
                                              double b) {
    const auto first = std::upper_bound(times.begin(), times.end(), a);
    return {first, std::lower_bound(first, times.end(), b)};
  }

  // Appends to starts_ the pulses of stretch `st` of slot `s`, counts_[i] in part i of
  // bounds_: centred at (2j + 1) / 2c of the part, or, for the closing last part, at j / c
  // less half the closing pulse; each start on the grid and after the previous pulse's end
  // and spacing. Returns whether every pulse fits in the stretch.
  bool place_counts(std::size_t s, const Stretch& st, bool closing, std::size_t total) {
    const std::size_t n = options_.pulse_count;
    const double* d = durations_.data() + s * n;
    const double eps = 1e-12 * std::max(1.0, std::abs(st.end));
    const std::size_t parts = bounds_.size() - 1;
    const std::size_t last = parts - 1;
    double previous_end = last_pulse_end_[s];
    std::size_t k = 0;
    for (std::size_t i = 0; i < parts; ++i) {
      const double a = bounds_[i], b = bounds_[i + 1];
      for (std::size_t j = 0; j < counts_[i]; ++j, ++k) {
        double centre = shifted_[i] != 0
                            ? shifts_[i] + (b - a) * static_cast<double>(j) /
                                               static_cast<double>(counts_[i])
                            : a + (b - a) * static_cast<double>(2 * j + 1) /
                                      static_cast<double>(2 * counts_[i]);
        if (closing && i == last) {
          const double h = d[(total - 1) % n] / 2;  // of the closing pulse
          centre = a + (b - a) * static_cast<double>(j + 1) / static_cast<double>(counts_[i]) - h;
        }
        const double dk = d[k % n];
        double t = centre - dk / 2;
        if (options_.alignment > 0.0) t = std::round(t / options_.alignment) * options_.alignment;
        // Pushed later only where rounding crossed the stretch's start or a pulse's spacing.
        t = std::max(t, align_up(std::max(st.begin, previous_end + options_.spacing)));
        if (!(t + eps >= st.begin && t + dk <= st.end + eps)) return false;
        starts_.push_back(t);
        previous_end = t + dk;
      }
    }
    return true;
  }

  double align_up(double t) const {
    const double a = options_.alignment;
    return a > 0.0 ? std::ceil(t / a) * a : t;
  }

  // The plain sequence over stretch `st` of slot `s` into `out` (pulse starts): m pulses, a
  // whole number of repetitions (and even), centred at (2i + 1) / 2m of the stretch, as many
  // as keep the free time within max_free while each keeps its room, and fewer where they do
  // not fit. The first pulse keeps `before` from the stretch's start and the last `after`
  // from its end: the spacing a pulse of the qubit's stretch before or after may need,
  // whichever candidate that stretch takes. False where not even one repetition fits.
  bool plain_starts(std::size_t s, const Stretch& st, double before, double after,
                    std::vector<double>& out) const {
    const std::size_t n = options_.pulse_count;
    const double* d = durations_.data() + s * n;
    double longest = 0.0;
    for (std::size_t i = 0; i < n; ++i) longest = std::max(longest, d[i]);
    const double room = std::max(3.0 * longest, longest + options_.spacing + options_.alignment);
    const std::size_t unit = std::lcm(n, std::size_t{2});
    const double length = st.end - st.begin;
    std::size_t k = 1;
    if (options_.max_free > 0.0) {
      const double wanted = std::ceil(length / (options_.max_free * static_cast<double>(unit)));
      const double roomy = std::floor(length / (room * static_cast<double>(unit)));
      k = static_cast<std::size_t>(std::max(1.0, std::min({wanted, roomy, kMostBoundedPulses})));
    }
    const double eps = 1e-12 * std::max(1.0, std::abs(st.end));
    for (; k >= 1; --k) {
      const std::size_t m = unit * k;
      out.clear();
      double previous_end = -std::numeric_limits<double>::infinity();
      bool fits = true;
      for (std::size_t j = 0; j < m && fits; ++j) {
        const double centre =
            st.begin + length * static_cast<double>(2 * j + 1) / static_cast<double>(2 * m);
        const double dk = d[j % n];
        double t = centre - dk / 2;
        if (options_.alignment > 0.0) t = std::round(t / options_.alignment) * options_.alignment;
        t = std::max(t, align_up(std::max(st.begin + before, previous_end + options_.spacing)));
        fits = t + eps >= st.begin && t + dk <= st.end - after + eps;
        out.push_back(t);
        previous_end = t + dk;
      }
      if (fits) return true;
    }
    out.clear();
    return false;
  }

  // Scores each stretch's candidates under the noise model (the planned pattern, the plain
  // sequence, none, the wide pair) and keeps the chosen ones in starts_ and pending_.
  void choose_by_noise() {
    const DdCostModel model = noise_model();
    const DdCostStretches candidates = noise_candidates();
    keep_choice(dd_choose_candidates(model, candidates, 2));
  }

  // Whether the cuts at neighbours' operations keep the noise model's lists: middles_ holds
  // the middles that turn a frame into another operator, flip_middles_ those that flip it
  // (and neither is read once the pulses are planned).
  bool noise_reads_middles() const {
    return options_.cut_at_neighbour_operations && options_.shift_at_flips;
  }

  // The noise model by slot: each slot's frame turns and flips (moved out of middles_ and
  // flip_middles_, or noise_turns_ and noise_flips_), its detuning and pulse error, and the
  // couplings between slots.
  DdCostModel noise_model() {
    const DdNoise& noise = *options_.noise;
    const std::size_t qubits = slots_.size();
    DdCostModel model;
    model.end = circuit_end_;
    model.qubits.resize(qubits);
    for (std::size_t s = 0; s < qubits; ++s) {
      DdCostQubit& q = model.qubits[s];
      const Qubit qubit = slots_.qubit(s);
      if (qubit < noise.detuning_variance.size()) q.detuning_variance = noise.detuning_variance[qubit];
      if (qubit < noise.pulse_error.size()) q.pulse_error = noise.pulse_error[qubit];
      q.turns = std::move((noise_reads_middles() ? middles_ : noise_turns_)[s]);
      q.flips = std::move((noise_reads_middles() ? flip_middles_ : noise_flips_)[s]);
    }
    for (const DdNoise::Coupling& c : noise.zz) {
      std::optional<std::size_t> sa = slots_.find(c.a), sb = slots_.find(c.b);
      if (sa && sb && *sa != *sb) model.edges.push_back({*sa, *sb, c.zeta});
    }
    return model;
  }

  // Each stretch's candidates as pulse centres, in the order of stretches_: 0 the planned
  // pattern (none where the planner left the stretch bare), 1 the plain sequence (kept in
  // plain_; the planned pattern where it does not fit), 2 none, and 3 the wide pair where it
  // fits (kept in wide_). Sets run_of_.
  DdCostStretches noise_candidates() {
    const std::size_t count = stretches_.size();
    const std::size_t n = options_.pulse_count;
    run_of_.assign(count, kNoRun);
    for (std::size_t r = 0; r < pending_.size(); ++r) run_of_[pending_[r].stretch] = r;
    collect_plain();
    DdCostStretches costed;
    // Each planned pattern at most twice (the second where the plain sequence does not fit).
    costed.reserve(count, 4 * count, 2 * starts_.size() + plain_.size() + wide_.size());
    for (std::size_t i = 0; i < count; ++i) {
      const Stretch& st = stretches_[i];
      const double* d = durations_.data() + st.slot * n;
      auto add_planned = [&] {
        costed.add_candidate();
        if (run_of_[i] == kNoRun) return;
        const PendingRun& run = pending_[run_of_[i]];
        for (std::size_t j = 0; j < run.count; ++j) {
          costed.add_centre(starts_[run.offset + j] + d[j % n] / 2);
        }
      };
      costed.add_stretch(st.slot, st.begin, st.end);
      add_planned();
      if (plain_first_[i + 1] > plain_first_[i]) {
        costed.add_candidate();
        for (std::size_t j = 0; j < plain_first_[i + 1] - plain_first_[i]; ++j) {
          costed.add_centre(plain_[plain_first_[i] + j] + d[j % n] / 2);
        }
      } else {
        add_planned();
      }
      costed.add_candidate();
      if (wide_first_[i + 1] > wide_first_[i]) {
        costed.add_candidate();
        for (std::size_t j = 0; j < 2; ++j) {
          costed.add_centre(wide_[wide_first_[i] + j] + d[j % n] / 2);
        }
      }
    }
    return costed;
  }

  // Each stretch's plain sequence, as plain_starts() places it, into plain_, and its wide
  // pair, as wide_starts() does, into wide_ (none where they do not fit).
  void collect_plain() {
    const std::size_t count = stretches_.size();
    std::vector<std::size_t> place(count);  // by stretch: its index in stretch_by_slot_
    for (std::size_t k = 0; k < count; ++k) place[stretch_by_slot_[k]] = k;
    plain_.clear();
    plain_first_.assign(count + 1, 0);
    wide_.clear();
    wide_first_.assign(count + 1, 0);
    std::vector<double> plain;
    for (std::size_t i = 0; i < count; ++i) {
      const Stretch& st = stretches_[i];
      const auto [before, after] = neighbour_spacing(st.slot, place[i]);
      if (plain_starts(st.slot, st, before, after, plain)) {
        plain_.insert(plain_.end(), plain.begin(), plain.end());
      }
      plain_first_[i + 1] = plain_.size();
      double wide[2];
      if (wide_starts(st.slot, st, before, after, wide)) wide_.insert(wide_.end(), wide, wide + 2);
      wide_first_[i + 1] = wide_.size();
    }
  }

  // The wide pair over stretch `st` of slot `s` into `out` (pulse starts): one repetition of a
  // sequence of two pulses, the first as early and the second as late as the stretch's room
  // (`before`, `after`, as plain_starts() keeps) and the alignment allow. Its sign is turned
  // over for nearly all of the stretch, so its phase there takes back what the frame
  // segment gathers outside it, in its busy time (the gates that leave the frame as it is,
  // such as a cz) and in the stretches left bare: the balanced patterns cancel only their
  // own. False for a sequence of another length, or where the two pulses do not fit with
  // their spacing between them.
  bool wide_starts(std::size_t s, const Stretch& st, double before, double after,
                   double (&out)[2]) const {
    const std::size_t n = options_.pulse_count;
    if (n != 2) return false;
    const double* d = durations_.data() + s * n;
    const double a = options_.alignment;
    const double first = align_up(st.begin + before);
    double second = st.end - after - d[1];
    if (a > 0.0) second = std::floor(second / a) * a;
    const double eps = 1e-12 * std::max(1.0, std::abs(st.end));
    if (second + eps < first + d[0] + options_.spacing) return false;
    out[0] = first;
    out[1] = second;
    return true;
  }

  // The spacing the pulses of the stretch at stretch_by_slot_[k] (of slot s) keep from its
  // start and its end for those of the slot's stretch before and after it, across nodes of
  // no length.
  std::pair<double, double> neighbour_spacing(std::size_t s, std::size_t k) const {
    const Stretch& st = stretches_[stretch_by_slot_[k]];
    double before = 0.0, after = 0.0;
    if (k > stretch_first_[s]) {
      const double gap = st.begin - stretches_[stretch_by_slot_[k - 1]].end;
      before = std::max(0.0, options_.spacing - gap);
    }
    if (k + 1 < stretch_first_[s + 1]) {
      const double gap = stretches_[stretch_by_slot_[k + 1]].begin - st.end;
      after = std::max(0.0, options_.spacing - gap);
    }
    return {before, after};
  }

  // Keeps the candidate `choice` gives each stretch (as noise_candidates() numbers them) in
  // starts_ and pending_: the runs in the order planned (finish() keeps it within a node),
  // then the stretches whose plain sequence only the choice gave pulses.
  void keep_choice(std::span<const std::size_t> choice) {
    const std::size_t n = options_.pulse_count;
    std::vector<double> starts;
    std::vector<PendingRun> pending;
    starts.reserve(starts_.size());
    pending.reserve(pending_.size());
    auto keep = [&](std::size_t i, const double* first, std::size_t count) {
      const std::size_t s = stretches_[i].slot;
      const std::size_t offset = starts.size();
      starts.insert(starts.end(), first, first + count);
      pending.push_back({stretches_[i].before, slots_.qubit(s), offset,
                         static_cast<std::uint32_t>(count), durations_[s * n], i});
    };
    auto plain_count = [&](std::size_t i) { return plain_first_[i + 1] - plain_first_[i]; };
    // The pulses of a choice other than the planned pattern or none, if it has any.
    auto other = [&](std::size_t i) {
      if (choice[i] == 1 && plain_count(i) > 0) {
        keep(i, plain_.data() + plain_first_[i], plain_count(i));
        return true;
      }
      if (choice[i] == 3) {
        keep(i, wide_.data() + wide_first_[i], 2);
        return true;
      }
      return false;
    };
    for (const PendingRun& run : pending_) {
      const std::size_t i = run.stretch;
      if (!other(i) && choice[i] != 2) keep(i, starts_.data() + run.offset, run.count);
    }
    for (std::size_t i = 0; i < stretches_.size(); ++i) {
      if (run_of_[i] == kNoRun && other(i)) {
        if (plan_.dropped > 0) --plan_.dropped;  // it counted as a stretch left bare
      }
    }
    starts_ = std::move(starts);
    pending_ = std::move(pending);
  }

  static constexpr std::size_t kNoRun = std::numeric_limits<std::size_t>::max();

  // The runs by `before`, those of one node in the order their pieces were cut (which is
  // the order of the pieces' ends): a counting sort, as `before` is at most node_count().
  DdPlan finish() {
    const std::size_t nodes = source_.node_count();
    std::vector<std::size_t> first(nodes + 2, 0);
    for (const PendingRun& r : pending_) ++first[r.before + 1];
    for (std::size_t i = 1; i < first.size(); ++i) first[i] += first[i - 1];
    std::vector<std::size_t> order(pending_.size());
    for (std::size_t i = 0; i < pending_.size(); ++i) order[first[pending_[i].before]++] = i;
    plan_.runs.reserve(pending_.size());
    plan_.starts.reserve(starts_.size());
    for (std::size_t i : order) {
      const PendingRun& r = pending_[i];
      plan_.runs.push_back({r.before, r.qubit, r.duration, r.count});
      const auto first_start = starts_.begin() + static_cast<std::ptrdiff_t>(r.offset);
      plan_.starts.insert(plan_.starts.end(), first_start, first_start + r.count);
    }
    return std::move(plan_);
  }

  const QuantumDAG& source_;
  const DdWalshOptions options_;
  std::span<const std::uint8_t> flags_;
  std::vector<DdWalshPiece>* pieces_;
  std::size_t pieces_at_start_;
  QubitSlots slots_;
  std::vector<double> durations_;     // by slot, pulse_count each
  std::vector<double> base_time_;     // by slot: the sequence's pulse time, NaN for no pulses
  std::vector<Stretch> stretches_;
  CouplingColours graph_;  // between the qubits that take pulses, and their colours
  std::vector<double> last_pulse_end_;        // by slot
  std::vector<double> starts_;                // pulse starts, piece after piece
  std::vector<PendingRun> pending_;
  std::vector<std::vector<double>> middles_;  // by slot: its operations' middles, in order
  std::vector<std::vector<double>> flip_middles_;  // by slot: those that only flip its frame
  std::vector<std::vector<double>> centres_;  // by slot: its pulses' centres, in order
  // With a noise model whose lists middles_ and flip_middles_ are not, by slot: the middles
  // of its operations that turn its frame into another operator, and of those that only flip
  // it.
  std::vector<std::vector<double>> noise_turns_, noise_flips_;
  // With a noise model, by stretch: its run in pending_ (or kNoRun), and its plain sequence's
  // pulse starts, plain_[plain_first_[i] .. [i + 1]) (none where it does not fit).
  std::vector<std::size_t> run_of_;
  std::vector<double> plain_;
  std::vector<std::size_t> plain_first_;
  std::vector<double> wide_;  // and its wide pair's, wide_[wide_first_[i] .. [i + 1])
  std::vector<std::size_t> wide_first_;
  double circuit_end_ = 0.0;  // the largest end time of any scheduled node
  std::vector<double> bounds_;                // of the parts of the current stretch
  std::vector<double> kept_;                  // its cuts at neighbours' pulses, and its ends
  std::vector<std::size_t> counts_;           // pulses in each part
  std::vector<std::uint8_t> shifted_;         // by part: a shifted pattern (fill_parts())
  std::vector<double> shifts_;                // by part: that pattern's first centre
  std::vector<double> followed_, late_, all_flips_, all_middles_;  // fill_followed()'s lists
  std::vector<std::size_t> stretch_first_, stretch_by_slot_;  // each slot's stretches
  // By neighbour of the slot being cut, kCursors places: in its middles_, flip_middles_,
  // centres_ and stretches, where the slot's previous stretch left off.
  static constexpr std::size_t kCursors = 4;
  std::vector<std::size_t> cursors_;
  std::vector<std::size_t> unfit_;  // flipped parts without a shifted pattern (fill_parts())
  ShiftMemo shift_memo_;
  DdPlan plan_;
};

}  // namespace

DdPlan plan_dd_walsh(const QuantumDAG& source, const DdPulseDurations& durations,
                     const DdWalshOptions& options, std::span<const std::uint8_t> node_flags,
                     std::vector<DdWalshPiece>* pieces) {
  return WalshPlanner(source, durations, options, node_flags, pieces).run();
}

}  // namespace vornak
