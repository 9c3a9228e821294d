#ifndef VORNAK_DD_ERROR_TERMS_H
#define VORNAK_DD_ERROR_TERMS_H

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "dd/gate_matrix.h"
#include "dd/pauli_images.h"
#include "dd/term_table.h"

namespace vornak::pauli {

// Strings of two qubits tracked at most; beyond it, new ones are let go.
inline constexpr std::size_t kMaxTerms = 4096;

// Terms smaller than this (in units of the pulse error; a lone pair leaves 4) are let go: they
// cannot sway a choice.
inline constexpr double kSmallTerm = 1e-3;

// The coefficients of one Pauli string: one per kind of pulse error (off resonance,
// over-rotation).
using Term = std::array<double, 2>;

// Whether both coefficients of a term are below kSmallTerm.
inline bool small_term(const Term& value) {
  return std::abs(value[0]) < kSmallTerm && std::abs(value[1]) < kSmallTerm;
}

// A Pauli string of weight one or two, as (qubit * 4 + letter) of each, the smaller first;
// 0 for no second qubit.
using Key = std::uint64_t;
inline constexpr std::uint32_t kLetterX = 1, kLetterY = 2, kLetterZ = 3;

// The key of the string of parts `a` and `b` (either may be 0 for none), in either order.
inline Key make_key(std::uint32_t a, std::uint32_t b) {
  if (b != 0 && b < a) std::swap(a, b);
  if (a == 0) std::swap(a, b);
  return (Key{b} << 32) | a;
}
inline std::uint32_t first(Key k) { return static_cast<std::uint32_t>(k); }
inline std::uint32_t second(Key k) { return static_cast<std::uint32_t>(k >> 32); }

using TermList = std::vector<std::pair<Key, Term>>;

// The first-order errors the runs so far leave, as Pauli sums carried to the present: one
// sum per kind of pulse error. The strings of one qubit are kept densely, by qubit and letter;
// the strings of two in a map, listed on both qubits. The single-qubit gates a qubit goes
// through are composed into one turn, applied to its strings only when they are next needed
// (flush()): at a gate of two qubits or a run. A `scratch` list given to a method is
// overwritten; it only saves allocations between calls.
class Errors {
 public:
  explicit Errors(std::uint32_t nq);

  // Whether any term includes qubit q. O(1).
  bool touches(std::uint32_t q) const { return has_single_[q] != 0 || !pairs_on_[q].empty(); }

  // The coefficients of qubit q's string of one letter (1..3), as last flushed.
  const Term& coefficient(std::uint32_t q, std::uint32_t letter) const {
    return single_[q][letter - 1];
  }

  // Adds `value` to the string `key`; a new string of two qubits beyond kMaxTerms is let go.
  // Inline, as add() and turn() run once per gate the errors pass through.
  void add(Key key, const Term& value) {
    if (second(key) == 0) {
      Term& term = single_[first(key) / 4][first(key) % 4 - 1];
      term[0] += value[0];
      term[1] += value[1];
      has_single_[first(key) / 4] = 1;
      return;
    }
    add_pair(key, value);
  }

  // Composes `turn` (a single-qubit gate's images) into the turn pending on qubit q.
  void turn(std::uint32_t q, const Turn& turn) {
    pending_[q] = compose(turn, pending_[q]);
    turned_[q] = 1;
  }

  // Applies the turn pending on qubit q to its strings. Images below kSmallTerm are let go.
  void flush(std::uint32_t q, TermList& scratch);

  // Takes out the terms on any of the `n` `qubits`, into `out`, with their turns applied
  // first. O(terms taken and their qubits' lists).
  void take(const std::uint32_t* qubits, std::uint32_t n, TermList& out);

  // Carries the terms on `qubits` (one per qubit of `u`, in its order) through the gate `u`:
  // U P U†, each image of weight up to two kept (wider ones cannot be undone by a run of one
  // qubit), those below kSmallTerm let go. `images` are U's, found where not yet known.
  void carry(const Matrix& u, const std::uint32_t* qubits, Images& images, TermList& scratch);

 private:
  // add() of a string of two qubits.
  void add_pair(Key key, const Term& value);
  // Takes out every string that includes q, appending it to `out`.
  void take_own(std::uint32_t q, TermList& out);
  // Takes out the strings of two qubits that include q, appending them to `out`.
  void take_pairs(std::uint32_t q, TermList& out);

  std::vector<std::array<Term, 3>> single_;  // by qubit, then X, Y, Z
  std::vector<std::uint8_t> has_single_;     // by qubit: any added since taken
  TermTable pairs_;
  std::vector<std::vector<Key>> pairs_on_;
  std::vector<Turn> pending_;         // by qubit: the turn not yet applied to its strings
  std::vector<std::uint8_t> turned_;  // by qubit: whether that turn is not kNoTurn
};

}  // namespace vornak::pauli

#endif
