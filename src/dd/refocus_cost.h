#ifndef VORNAK_DD_REFOCUS_COST_H
#define VORNAK_DD_REFOCUS_COST_H

#include <cstddef>
#include <span>
#include <vector>

namespace vornak {

// What a plan of pulses leaves, to first order, and what its pulses cost: the score by which
// the planner chooses, stretch by stretch, between its candidate pulse patterns.
//
// In the toggling frame a qubit's Z term has the sign s(t) = ±1, flipped at the centre of
// each of its π pulses (and at its own x, y gates, the echo of an ecr it controls). Over an
// idle stretch a detuning δ Z/2 leaves the phase δ·∫s and a static ZZ ζ Z_p Z_q / 4 the phase
// ζ·∫s_p s_q / 2. A qubit in |+> turned by φ loses sin²(φ/2) ≈ φ²/4, so the expected
// infidelity is
//
//   <δ²>/4 · (∫s)²  per stretch,   ζ²/16 · (∫s_p s_q)²  per edge and frame segment,
//   e  per pulse,
//
// with e a pulse's error beyond the decoherence the idle qubit suffers anyway. A bare
// stretch of length L then costs <δ²>L²/4 and a balanced pair 2e: the pair pays for itself
// where L > √(8e/<δ²>) (the break-even length, dd_pair_break_even()), and each busy neighbour
// adds ζ²/4 to <δ²>. A neighbour's frame stays a ZZ only until it turns into another operator
// (an sx: Z to Y; the target of an ecr): the product's integral is taken per segment between
// such turns, whose residuals are independent and add in square.

// ∫ s dt over [a, b] of the sign that is +1 at a and flips at each of `flips` strictly inside
// (a, b) (sorted; those outside are ignored, and a time met twice flips twice). O(flips).
double dd_sign_integral(double a, double b, std::span<const double> flips);

// The break-even length of a balanced pair of pulses: √(8e / variance), where `variance` is
// <δ²> plus ζ²/4 per busy neighbour (in rad² per unit of time squared) and `pulse_error` the
// error of one pulse beyond decoherence. Infinite where variance is 0, 0 where the error is.
double dd_pair_break_even(double pulse_error, double variance);

// The error of one pulse beyond the decoherence an idle qubit suffers over its length τ:
// the reported error less 1 - F_coh, with F_coh = (3 + 2 exp(-τ/T2) + exp(-τ/T1)) / 6 the
// average gate fidelity of the identity under T1 and T2 alone; never below 0. A T1 or T2 of
// 0 or infinity counts as no decay of that kind.
double dd_error_beyond_decoherence(double reported_error, double duration, double t1, double t2);

// The idle stretches of the qubits and the pulse patterns each may take, in flat arrays:
// stretch after stretch, each with its candidates, each candidate its pulse centres (sorted
// and inside (begin, end); an empty candidate is the bare stretch). A candidate that cannot
// be placed is left out by the caller. Built in order: add_stretch(), then for each of its
// candidates add_candidate() and its centres by add_centre().
class DdCostStretches {
 public:
  // Room for this many stretches, candidates and centres in all, so that building them
  // reallocates nothing.
  void reserve(std::size_t stretches, std::size_t candidates, std::size_t centres);
  // Starts stretch size() of `qubit` (an index into DdCostModel::qubits) over [begin, end].
  void add_stretch(std::size_t qubit, double begin, double end);
  // Starts a candidate of the last stretch, with no pulses yet.
  void add_candidate();
  // Appends a pulse centre to the last candidate.
  void add_centre(double centre) { centres_.push_back(centre); }

  std::size_t size() const { return stretches_.size(); }
  bool empty() const { return stretches_.empty(); }
  std::size_t qubit(std::size_t i) const { return stretches_[i].qubit; }
  double begin(std::size_t i) const { return stretches_[i].begin; }
  double end(std::size_t i) const { return stretches_[i].end; }
  std::size_t candidate_count(std::size_t i) const {
    return first_candidate(i + 1) - stretches_[i].first_candidate;
  }
  // Its candidates are candidate(first_candidate(i) + k), k < candidate_count(i).
  std::size_t first_candidate(std::size_t i) const {
    return i < stretches_.size() ? stretches_[i].first_candidate : candidate_first_.size();
  }
  // The centres of a candidate by its index over all stretches.
  std::span<const double> candidate(std::size_t c) const {
    const std::size_t first = candidate_first_[c];
    const std::size_t last =
        c + 1 < candidate_first_.size() ? candidate_first_[c + 1] : centres_.size();
    return {centres_.data() + first, last - first};
  }
  std::span<const double> candidate(std::size_t i, std::size_t k) const {
    return candidate(first_candidate(i) + k);
  }
  // Where candidate c's centres start in centres().
  std::size_t centre_offset(std::size_t c) const { return candidate_first_[c]; }
  // Every candidate's centres, candidate after candidate.
  std::span<const double> centres() const { return centres_; }

 private:
  struct Stretch {
    std::size_t qubit;
    double begin;
    double end;
    std::size_t first_candidate;
  };
  std::vector<Stretch> stretches_;
  std::vector<std::size_t> candidate_first_;  // by candidate: where its centres start
  std::vector<double> centres_;
};

// What the score knows of one qubit outside its stretches: the middles of its operations that
// turn its frame into another operator (`turns`) and of those that only flip its sign
// (`flips`), each sorted; its detuning variance and its pulse error.
struct DdCostQubit {
  std::vector<double> turns;
  std::vector<double> flips;
  double detuning_variance = 0.0;  // <δ²>, rad² per unit of time squared
  double pulse_error = 0.0;        // per pulse, beyond decoherence
};

struct DdCostEdge {
  std::size_t a;
  std::size_t b;
  double zeta;  // rad per unit of time
};

struct DdCostModel {
  std::vector<DdCostQubit> qubits;
  std::vector<DdCostEdge> edges;
  // The time the circuit covers (end: at least every stretch's end): a frame segment before
  // a qubit's first turn or after its last ends here.
  double begin = 0.0;
  double end = 0.0;
};

// Chooses a candidate for every stretch (its index k among the stretch's candidates). The
// detuning is scored per segment of each qubit's own frame (between its turns) and the ZZ
// per segment of each edge (between the turns of either), from the turn before a stretch to
// the turn after it: busy time in the same segment counts too, as its phase adds to the
// stretch's (a qubit's own x gates flip its sign there; diagonal gates leave it). Segments
// that no stretch reaches are the same for every choice and left out. Stretches are joined
// into regions where a segment reaches two of them; each region starts from the uniform
// choice (candidate c everywhere, c = 0 .. `uniform` - 1) that scores lowest, the lower
// index on a tie, then takes one stretch's change at a time where it lowers the region's
// score, until no single change does (at most 8 looks per stretch on average; a change is scored by the part of
// each segment within the stretch, as every candidate holding an even number of pulses
// leaves the frame after it as it was). So no region scores above any uniform choice: with candidate 0 the
// ZZ-robust plan and 1 the plain sequence at the same places, the result never leaves more
// than the plain sequence would, pulses counted at their error. Every stretch needs at
// least `uniform` candidates. O(segments' stretches · their flips · candidates).
std::vector<std::size_t> dd_choose_candidates(const DdCostModel& model,
                                              const DdCostStretches& stretches,
                                              std::size_t uniform);

// The score of a choice (as dd_choose_candidates() minimises it), for tests and reports.
double dd_choice_score(const DdCostModel& model, const DdCostStretches& stretches,
                       std::span<const std::size_t> choice);

}  // namespace vornak

#endif
