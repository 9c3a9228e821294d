#include "graph/dag.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace vornak {
namespace {

// Makes room for `extra` more elements, growing geometrically, so that the insertions that
// follow cannot fail; throws, leaving `values` as it was, when the room cannot be had.
template <typename Vector>
void make_room(Vector& values, std::size_t extra) {
  if (values.capacity() - values.size() >= extra) return;
  values.reserve(std::max(values.size() + extra, 2 * values.capacity()));
}

}  // namespace

void NodeStore::reserve(std::size_t nodes, std::size_t qubits, std::size_t params) noexcept {
  try {
    std::size_t total = size() + nodes;
    names_.reserve(total);
    durations_.reserve(total);
    qubit_offsets_.reserve(total + 1);
    param_offsets_.reserve(total + 1);
    qubits_.reserve(qubits_.size() + qubits);
    params_.reserve(params_.size() + params);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
}

void NodeStore::dedupe_open_params() {
  auto open = params_.begin() + static_cast<std::ptrdiff_t>(param_offsets_.back());
  if (params_.end() - open < 2) return;
  // Order within a node's parameters carries no meaning, so sorting by key is allowed;
  // the stable sort keeps the pushes of one key in order, and the last one wins.
  std::stable_sort(open, params_.end(),
                   [](const Param& x, const Param& y) { return x.key < y.key; });
  auto out = open;
  for (auto it = open; it != params_.end(); ++it) {
    if (out != open && (out - 1)->key == it->key) {
      *(out - 1) = *it;
    } else {
      *out++ = *it;
    }
  }
  params_.erase(out, params_.end());
}

void NodeStore::grow_node_columns() {
  make_room(names_, 1);
  make_room(durations_, 1);
  make_room(qubit_offsets_, 1);
  make_room(param_offsets_, 1);
}

void NodeStore::discard_open() {
  qubits_.resize(qubit_offsets_.back());
  params_.resize(param_offsets_.back());
}

void NodeStore::push_node(std::uint32_t name, std::span<const Qubit> qubits, double duration_ns,
                          std::span<const Param> params) {
  make_room(qubits_, qubits.size());
  make_room(params_, params.size());
  for (Qubit q : qubits) push_qubit(q);
  params_.insert(params_.end(), params.begin(), params.end());
  try {
    close_node(name, duration_ns);
  } catch (...) {
    discard_open();
    throw;
  }
}

void NodeStore::append(NodeStore&& other) {
  if (names_.empty() && qubits_.empty() && params_.empty()) {
    *this = std::move(other);
    return;
  }
  // Room in every column first: the nodes are appended whole or, when memory runs out, not at all.
  make_room(names_, other.names_.size());
  make_room(durations_, other.durations_.size());
  make_room(qubits_, other.qubits_.size());
  make_room(params_, other.params_.size());
  make_room(qubit_offsets_, other.qubit_offsets_.size() - 1);
  make_room(param_offsets_, other.param_offsets_.size() - 1);
  std::size_t qubit_base = qubits_.size();
  std::size_t param_base = params_.size();
  names_.insert(names_.end(), other.names_.begin(), other.names_.end());
  durations_.insert(durations_.end(), other.durations_.begin(), other.durations_.end());
  qubits_.insert(qubits_.end(), other.qubits_.begin(), other.qubits_.end());
  params_.insert(params_.end(), other.params_.begin(), other.params_.end());
  for (std::size_t i = 1; i < other.qubit_offsets_.size(); ++i) {
    qubit_offsets_.push_back(qubit_base + other.qubit_offsets_[i]);
  }
  for (std::size_t i = 1; i < other.param_offsets_.size(); ++i) {
    param_offsets_.push_back(param_base + other.param_offsets_[i]);
  }
  if (!other.qubits_.empty()) max_qubit_ = std::max(max_qubit_, other.max_qubit_);
  other = NodeStore();
}

void NodeStore::append_copies(const NodeStore& source, NodeId first, NodeId last) {
  if (first >= last) return;
  std::size_t qubits_from = source.qubit_offsets_[first];
  std::size_t qubits_to = source.qubit_offsets_[last];
  std::size_t params_from = source.param_offsets_[first];
  std::size_t params_to = source.param_offsets_[last];
  std::size_t count = last - first;
  // Room in every column first: the nodes are appended whole or, when memory runs out, not at all.
  make_room(names_, count);
  make_room(durations_, count);
  make_room(qubits_, qubits_to - qubits_from);
  make_room(params_, params_to - params_from);
  make_room(qubit_offsets_, count);
  make_room(param_offsets_, count);
  names_.insert(names_.end(), source.names_.begin() + first, source.names_.begin() + last);
  durations_.insert(durations_.end(), source.durations_.begin() + first,
                    source.durations_.begin() + last);
  // Offsets move by the difference between where the copies land and where they were.
  std::size_t qubit_shift = qubits_.size() - qubits_from;
  std::size_t param_shift = params_.size() - params_from;
  for (NodeId id = first + 1; id <= last; ++id) {
    qubit_offsets_.push_back(source.qubit_offsets_[id] + qubit_shift);
    param_offsets_.push_back(source.param_offsets_[id] + param_shift);
  }
  auto copied = source.qubits_.begin() + static_cast<std::ptrdiff_t>(qubits_from);
  auto copied_end = source.qubits_.begin() + static_cast<std::ptrdiff_t>(qubits_to);
  if (copied != copied_end) max_qubit_ = std::max(max_qubit_, *std::max_element(copied, copied_end));
  qubits_.insert(qubits_.end(), copied, copied_end);
  params_.insert(params_.end(), source.params_.begin() + static_cast<std::ptrdiff_t>(params_from),
                 source.params_.begin() + static_cast<std::ptrdiff_t>(params_to));
}

NodeId QuantumDAG::insert_node(std::uint32_t name, std::span<const Qubit> qubits,
                               double duration_ns, std::span<const Param> params) {
  NodeId id = next_id();
  nodes_.push_node(name, qubits, duration_ns, params);
  return id;
}

void QuantumDAG::insert_nodes(NodeStore&& batch) { nodes_.append(std::move(batch)); }

std::size_t QuantumDAG::QubitPairHash::operator()(const QubitPair& p) const noexcept {
  // 64-bit mix of both indices (splitmix64 finaliser).
  std::uint64_t x = p.a * 0x9e3779b97f4a7c15ULL ^ (p.b + 0x632be59bd9b4e019ULL);
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return static_cast<std::size_t>(x);
}

void QuantumDAG::add_couplings(std::span<const std::pair<Qubit, Qubit>> pairs) {
  std::vector<QubitPair> added;
  try {
    added.reserve(2 * pairs.size());
    for (auto [a, b] : pairs) {
      for (QubitPair p : {QubitPair{a, b}, QubitPair{b, a}}) {
        if (coupling_map_.insert(p).second) added.push_back(p);
      }
    }
  } catch (...) {
    for (const QubitPair& p : added) coupling_map_.erase(p);
    throw;
  }
}

}  // namespace vornak
