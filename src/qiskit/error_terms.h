#ifndef VORNAK_QISKIT_ERROR_TERMS_H
#define VORNAK_QISKIT_ERROR_TERMS_H

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "dd/term_table.h"
#include "qiskit/pauli_images.h"

namespace vornak::bridge::pauli {

inline constexpr std::size_t kMaxTerms = 4096;  // strings of two qubits; beyond it, new ones are let go

// Terms smaller than this (in units of the pulse error; a lone pair leaves 4) are let go: they
// cannot sway a choice.
inline constexpr double kSmallTerm = 1e-3;

// Whether both coefficients of a term are below kSmallTerm.
inline bool small_term(const std::array<double, 2>& value) {
  return std::abs(value[0]) < kSmallTerm && std::abs(value[1]) < kSmallTerm;
}

// A Pauli string of weight one or two, as (qubit * 4 + letter) of each, the smaller first;
// 0 for no second qubit.
using Key = std::uint64_t;
inline constexpr std::uint32_t kLetterX = 1, kLetterY = 2;

inline Key make_key(std::uint32_t a, std::uint32_t b) {
  if (b != 0 && b < a) std::swap(a, b);
  if (a == 0) std::swap(a, b);
  return (Key{b} << 32) | a;
}
inline std::uint32_t first(Key k) { return static_cast<std::uint32_t>(k); }
inline std::uint32_t second(Key k) { return static_cast<std::uint32_t>(k >> 32); }

// The first-order errors the runs so far leave, as Pauli sums carried to the present: one
// sum per kind of pulse error (off resonance, over-rotation). The strings of one qubit are
// kept densely, by qubit and letter; the strings of two in a map, listed on both qubits.
// The single-qubit gates a qubit goes through are composed into one turn, applied to its
// strings only when they are next needed (flush()): at a gate of two qubits or a run.
class Errors {
 public:
  explicit Errors(std::uint32_t nq)
      : single_(nq), has_single_(nq, 0), pairs_on_(nq), pending_(nq, kNoTurn), turned_(nq, 0) {}

  bool touches(std::uint32_t q) const { return has_single_[q] != 0 || !pairs_on_[q].empty(); }
  const std::array<double, 2>& coefficient(std::uint32_t q, std::uint32_t letter) const {
    return single_[q][letter - 1];
  }
  void add(Key key, const std::array<double, 2>& value) {
    if (second(key) == 0) {
      std::array<double, 2>& term = single_[first(key) / 4][first(key) % 4 - 1];
      term[0] += value[0];
      term[1] += value[1];
      has_single_[first(key) / 4] = 1;
      return;
    }
    std::array<double, 2>* term = pairs_.find(key);
    if (term == nullptr) {
      if (pairs_.size() >= kMaxTerms) return;
      term = &pairs_.at(key);
      pairs_on_[first(key) / 4].push_back(key);
      pairs_on_[second(key) / 4].push_back(key);
    }
    (*term)[0] += value[0];
    (*term)[1] += value[1];
  }
  // Composes `turn` (a single-qubit gate's images) into the turn pending on qubit q.
  void turn(std::uint32_t q, const Turn& turn) {
    pending_[q] = compose(turn, pending_[q]);
    turned_[q] = 1;
  }
  // Applies the turn pending on qubit q to its strings. Images below kSmallTerm are let go.
  void flush(std::uint32_t q, std::vector<std::pair<Key, std::array<double, 2>>>& scratch) {
    if (turned_[q] == 0) return;
    turned_[q] = 0;
    const Turn m = pending_[q];
    pending_[q] = kNoTurn;
    scratch.clear();
    take_own(q, scratch);
    for (const auto& [key, value] : scratch) {
      const bool own_first = first(key) / 4 == q;
      const std::uint32_t letter = (own_first ? first(key) : second(key)) % 4;
      const std::uint32_t rest = own_first ? second(key) : first(key);
      for (std::uint32_t a = 1; a <= 3; ++a) {
        const double c = m[3 * (a - 1) + (letter - 1)];
        if (std::abs(c) < kNegligible) continue;
        const std::array<double, 2> image{value[0] * c, value[1] * c};
        if (small_term(image)) continue;
        add(make_key(q * 4 + a, rest), image);
      }
    }
  }
  // Takes out the terms on any of `qubits`, into `out`, with their turns applied first.
  // O(terms taken and their qubits' lists).
  void take(const std::uint32_t* qubits, std::uint32_t n,
            std::vector<std::pair<Key, std::array<double, 2>>>& out) {
    for (std::uint32_t k = 0; k < n; ++k) flush(qubits[k], out);
    out.clear();
    for (std::uint32_t k = 0; k < n; ++k) take_own(qubits[k], out);
  }

 private:
  // Takes out every string that includes q, appending it to `out`.
  void take_own(std::uint32_t q, std::vector<std::pair<Key, std::array<double, 2>>>& out) {
    if (has_single_[q] != 0) {
      for (std::uint32_t letter = 1; letter <= 3; ++letter) {
        out.emplace_back(make_key(q * 4 + letter, 0), single_[q][letter - 1]);
      }
      single_[q] = {};
      has_single_[q] = 0;
    }
    take_pairs(q, out);
  }

  // Takes out the strings of two qubits that include q, appending them to `out`.
  void take_pairs(std::uint32_t q, std::vector<std::pair<Key, std::array<double, 2>>>& out) {
    std::vector<Key>& own = pairs_on_[q];
    for (Key key : own) {
      std::array<double, 2> value;
      if (!pairs_.take(key, value)) continue;  // taken through the gate's other qubit
      out.emplace_back(key, value);
      const std::uint32_t part = first(key) / 4 == q ? second(key) : first(key);
      std::vector<Key>& other = pairs_on_[part / 4];
      for (std::size_t j = 0; j < other.size(); ++j) {
        if (other[j] == key) {
          other[j] = other.back();
          other.pop_back();
          break;
        }
      }
    }
    own.clear();
  }

  std::vector<std::array<std::array<double, 2>, 3>> single_;  // by qubit, then X, Y, Z
  std::vector<std::uint8_t> has_single_;                      // by qubit: any added since taken
  TermTable pairs_;
  std::vector<std::vector<Key>> pairs_on_;
  std::vector<Turn> pending_;          // by qubit: the turn not yet applied to its strings
  std::vector<std::uint8_t> turned_;   // by qubit: whether that turn is not kNoTurn
};

}  // namespace vornak::bridge::pauli

#endif
