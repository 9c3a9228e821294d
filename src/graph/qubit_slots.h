#ifndef VORNAK_GRAPH_QUBIT_SLOTS_H
#define VORNAK_GRAPH_QUBIT_SLOTS_H

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "graph/dag.h"

namespace vornak {

// Numbers the qubits of a graph with dense slots, so that per-qubit state can live in
// plain arrays. Small indices are their own slots; when the largest index is large
// compared with the graph, slots are handed out through a hash map in order of first use,
// so any 64-bit index works.
class QubitSlots {
 public:
  explicit QubitSlots(const QuantumDAG& dag) {
    std::optional<Qubit> max = dag.max_qubit();
    std::size_t occurrences = dag.nodes().all_qubits().size();
    std::size_t dense_limit = std::max<std::size_t>(std::size_t{1} << 16, 2 * occurrences);
    dense_ = !max || *max < dense_limit;
    if (dense_) {
      size_ = max ? static_cast<std::size_t>(*max) + 1 : 0;
    } else {
      sparse_.reserve(std::min<std::size_t>(occurrences, std::size_t{1} << 20));
    }
  }

  // Hands out, in hash mode, a slot to each qubit of `qubits` that has none, in order.
  void assign(std::span<const Qubit> qubits) {
    if (dense_) return;
    for (Qubit q : qubits) slot(q);
  }

  // The slot of `q`; in hash mode a new qubit gets the next slot. O(1) expected.
  std::size_t slot(Qubit q) {
    if (dense_) return static_cast<std::size_t>(q);
    auto [it, added] = sparse_.try_emplace(q, qubits_.size());
    if (added) qubits_.push_back(q);
    return it->second;
  }

  // The slot of `q` if it has one, without handing out a new one.
  std::optional<std::size_t> find(Qubit q) const {
    if (dense_) {
      if (q < size_) return static_cast<std::size_t>(q);
      return std::nullopt;
    }
    auto it = sparse_.find(q);
    if (it == sparse_.end()) return std::nullopt;
    return it->second;
  }

  // The qubit that owns `slot`.
  Qubit qubit(std::size_t slot) const { return dense_ ? slot : qubits_[slot]; }

  // One more than the largest slot handed out so far (in dense mode: all slots).
  std::size_t size() const { return dense_ ? size_ : qubits_.size(); }

  // Grows `values` with `fill` until `slot` is a valid index.
  template <typename T>
  static void cover(std::vector<T>& values, std::size_t slot, const T& fill) {
    if (slot >= values.size()) values.resize(slot + 1, fill);
  }

 private:
  bool dense_;
  std::size_t size_ = 0;
  std::unordered_map<Qubit, std::size_t> sparse_;
  std::vector<Qubit> qubits_;
};

}  // namespace vornak

#endif
