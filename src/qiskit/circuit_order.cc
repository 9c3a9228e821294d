#include "qiskit/circuit_order.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <queue>
#include <span>

namespace vornak::bridge {
namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// A node's sort key: its qubits, then its clbits.
struct Key {
  std::span<const std::uint32_t> qubits;
  std::span<const std::uint32_t> clbits;
};

bool less(const Key& a, const Key& b) {
  if (auto c = std::lexicographical_compare_three_way(a.qubits.begin(), a.qubits.end(),
                                                      b.qubits.begin(), b.qubits.end());
      c != 0) {
    return c < 0;
  }
  return std::lexicographical_compare(a.clbits.begin(), a.clbits.end(), b.clbits.begin(),
                                      b.clbits.end());
}

// A key packed into one number, compared as the key: the first two qubits' and the first
// clbit's indices plus one (0 where there is none, all ones for "no"), in fields compared in
// that order. Nothing where the key has more wires or an index too large for its field.
constexpr int kClbitBits = 22, kQubitBits = 21;

std::optional<std::uint64_t> packed(const Key& key) {
  if (key.qubits.size() > 2 || key.clbits.size() > 1) return std::nullopt;
  std::uint64_t value = 0;
  auto field = [&](std::span<const std::uint32_t> indices, std::size_t k, int bits) {
    const std::uint64_t all = (std::uint64_t{1} << bits) - 1;
    std::uint64_t f = 0;  // no index
    if (k < indices.size() && indices[k] == kNone) {
      f = all;
    } else if (k < indices.size()) {
      f = std::uint64_t{indices[k]} + 1;
      if (f >= all) return false;  // too large for the field
    }
    value = (value << bits) | f;
    return true;
  };
  if (!field(key.qubits, 0, kQubitBits) || !field(key.qubits, 1, kQubitBits) ||
      !field(key.clbits, 0, kClbitBits)) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<std::vector<std::uint32_t>> lexicographic_order(const QkCircuit* circuit) {
  const std::size_t n = qk_circuit_num_instructions(circuit);
  const std::uint32_t nq = qk_circuit_num_qubits(circuit);
  const std::uint32_t nc = qk_circuit_num_clbits(circuit);
  // Nodes: the operations 0 .. n-1, then the input node of each qubit and of each clbit.
  // Every wire of a node has a slot holding the next node on that wire.
  const std::size_t nodes = n + nq + nc;
  std::vector<Key> keys(nodes);
  std::vector<std::size_t> first_slot(nodes + 1);
  std::vector<std::uint32_t> indegree(n);
  std::size_t slots = 0;
  for (std::size_t i = 0; i < n; ++i) {
    QkCircuitInstructionView view;
    qk_circuit_view_instruction(circuit, i, &view);
    if (view.num_qubits + view.num_clbits == 0) return std::nullopt;
    keys[i] = {{view.qubits, view.num_qubits}, {view.clbits, view.num_clbits}};
    first_slot[i] = slots;
    indegree[i] = view.num_qubits + view.num_clbits;
    slots += indegree[i];
  }
  std::vector<std::uint32_t> wire_index(nq + nc);
  for (std::uint32_t w = 0; w < nq + nc; ++w) wire_index[w] = w < nq ? w : w - nq;
  static constexpr std::uint32_t kNoBit[1] = {kNone};
  for (std::uint32_t w = 0; w < nq + nc; ++w) {
    const std::span<const std::uint32_t> own(&wire_index[w], 1);
    keys[n + w] = w < nq ? Key{own, kNoBit} : Key{kNoBit, own};
    first_slot[n + w] = slots + w;
  }
  first_slot[nodes] = slots + nq + nc;
  std::vector<std::uint32_t> next(slots + nq + nc, kNone);
  std::vector<std::size_t> last(nq + nc);  // by wire: the slot of the last node on it
  for (std::uint32_t w = 0; w < nq + nc; ++w) last[w] = slots + w;
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t slot = first_slot[i];
    for (std::uint32_t q : keys[i].qubits) {
      next[last[q]] = static_cast<std::uint32_t>(i);
      last[q] = slot++;
    }
    for (std::uint32_t c : keys[i].clbits) {
      next[last[nq + c]] = static_cast<std::uint32_t>(i);
      last[nq + c] = slot++;
    }
  }
  // Keys packed into numbers where they fit (gates of one or two qubits, measurements, the
  // wires' input nodes), compared in a few instructions instead of as sequences. The queue
  // holds them beside the nodes, which keeps its comparisons within its own array.
  struct Ready {
    std::uint64_t number;
    std::uint32_t node;
    bool fits;
  };
  auto entry = [&](std::uint32_t node) {
    const std::optional<std::uint64_t> number = packed(keys[node]);
    return Ready{number.value_or(0), node, number.has_value()};
  };
  auto later = [&](const Ready& a, const Ready& b) {
    return (a.fits && b.fits) ? b.number < a.number : less(keys[b.node], keys[a.node]);
  };
  std::priority_queue<Ready, std::vector<Ready>, decltype(later)> ready(later);
  for (std::uint32_t w = 0; w < nq + nc; ++w) ready.push(entry(static_cast<std::uint32_t>(n + w)));
  std::vector<std::uint32_t> order;
  order.reserve(n);
  while (!ready.empty()) {
    const std::uint32_t node = ready.top().node;
    ready.pop();
    if (node < n) order.push_back(node);
    for (std::size_t s = first_slot[node]; s < first_slot[node + 1]; ++s) {
      const std::uint32_t child = next[s];
      if (child != kNone && --indegree[child] == 0) ready.push(entry(child));
    }
  }
  return order;
}

}  // namespace vornak::bridge
