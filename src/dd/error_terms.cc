#include "dd/error_terms.h"

#include <cmath>

namespace vornak::pauli {

Errors::Errors(std::uint32_t nq)
    : single_(nq), has_single_(nq, 0), pairs_on_(nq), pending_(nq, kNoTurn), turned_(nq, 0) {}

void Errors::add_pair(Key key, const Term& value) {
  Term* term = pairs_.find(key);
  if (term == nullptr) {
    if (pairs_.size() >= kMaxTerms) return;
    term = &pairs_.at(key);
    pairs_on_[first(key) / 4].push_back(key);
    pairs_on_[second(key) / 4].push_back(key);
  }
  (*term)[0] += value[0];
  (*term)[1] += value[1];
}

void Errors::flush(std::uint32_t q, TermList& scratch) {
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
      const Term image{value[0] * c, value[1] * c};
      if (small_term(image)) continue;
      add(make_key(q * 4 + a, rest), image);
    }
  }
}

void Errors::take(const std::uint32_t* qubits, std::uint32_t n, TermList& out) {
  for (std::uint32_t k = 0; k < n; ++k) flush(qubits[k], out);
  out.clear();
  for (std::uint32_t k = 0; k < n; ++k) take_own(qubits[k], out);
}

void Errors::carry(const Matrix& u, const std::uint32_t* qubits, Images& images,
                   TermList& scratch) {
  take(qubits, u.qubits, scratch);
  for (const auto& [key, value] : scratch) {
    int label = 0;
    std::uint32_t rest = 0;  // the (qubit, letter) off the gate, or 0
    for (std::uint32_t part : {first(key), second(key)}) {
      if (part == 0) continue;
      bool on = false;
      for (std::uint32_t k = 0; k < u.qubits; ++k) {
        if (part / 4 == qubits[k]) label |= static_cast<int>(part % 4) << (2 * k), on = true;
      }
      if (!on) rest = part;
    }
    images.find(u, label);
    for (std::uint8_t t = 0; t < images.count[label]; ++t) {
      const auto [image, c] = images.terms[label][t];
      std::uint32_t parts[3] = {rest, 0, 0};
      std::uint32_t weight = rest != 0 ? 1 : 0;
      for (std::uint32_t k = 0; k < u.qubits; ++k) {
        const std::uint32_t letter = (image >> (2 * k)) & 3;
        if (letter != 0) parts[weight++] = qubits[k] * 4 + letter;
      }
      if (weight > 2) continue;
      const Term image_value{value[0] * c, value[1] * c};
      if (small_term(image_value)) continue;
      add(make_key(parts[0], weight == 2 ? parts[1] : 0), image_value);
    }
  }
}

void Errors::take_own(std::uint32_t q, TermList& out) {
  if (has_single_[q] != 0) {
    for (std::uint32_t letter = 1; letter <= 3; ++letter) {
      out.emplace_back(make_key(q * 4 + letter, 0), single_[q][letter - 1]);
    }
    single_[q] = {};
    has_single_[q] = 0;
  }
  take_pairs(q, out);
}

void Errors::take_pairs(std::uint32_t q, TermList& out) {
  std::vector<Key>& own = pairs_on_[q];
  for (Key key : own) {
    Term value;
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

}  // namespace vornak::pauli
