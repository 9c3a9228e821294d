#ifndef VORNAK_GRAPH_DAG_H
#define VORNAK_GRAPH_DAG_H

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "graph/big_vector.h"
#include "graph/string_pool.h"

namespace vornak {

using NodeId = std::uint64_t;
using Qubit = std::uint64_t;

// One gate parameter. `key` is an id in the owning graph's string pool.
struct Param {
  std::uint32_t key;
  double value;
};

// Read-only view of one operation.
// CAUTION: the spans point into the graph and are invalidated by the next insertion.
struct GateNode {
  NodeId id;
  std::uint32_t name;  // id in the owning graph's string pool
  std::span<const Qubit> qubits;
  double duration_ns;
  std::span<const Param> params;
};

struct ScheduleEntry {
  double start_time;
  double end_time;
};

// Operations stored column-wise and indexed by id: node i's qubits are
// qubits_[qubit_offsets_[i] .. qubit_offsets_[i + 1]), and likewise for its parameters.
//
// A node is built in place: push its qubits and parameters, then close it with its name
// and duration. Names and parameter keys are ids of the string pool of the graph that
// receives the nodes.
class NodeStore {
 public:
  NodeStore() : qubit_offsets_{0}, param_offsets_{0} {}

  std::size_t size() const { return names_.size(); }

  // Reserves room for `nodes` more nodes holding `qubits` more qubit occurrences and
  // `params` more parameters; a request that cannot be met is ignored.
  void reserve(std::size_t nodes, std::size_t qubits = 0, std::size_t params = 0) noexcept;

  void push_qubit(Qubit q) { qubits_.push_back(q); }
  void push_param(Param p) { params_.push_back(p); }
  // Keeps one parameter per key among those pushed since the last close: the last one pushed.
  void dedupe_open_params();
  void close_node(std::uint32_t name, double duration_ns) {
    // Room first, so that a node goes into every column or, when memory runs out, into none.
    if (names_.size() == names_.capacity() || durations_.size() == durations_.capacity() ||
        qubit_offsets_.size() == qubit_offsets_.capacity() ||
        param_offsets_.size() == param_offsets_.capacity()) {
      grow_node_columns();
    }
    for (std::size_t i = qubit_offsets_.back(); i < qubits_.size(); ++i) {
      if (qubits_[i] > max_qubit_) max_qubit_ = qubits_[i];
    }
    names_.push_back(name);
    durations_.push_back(duration_ns);
    qubit_offsets_.push_back(qubits_.size());
    param_offsets_.push_back(params_.size());
  }
  // Drops the qubits and parameters pushed since the last close.
  void discard_open();

  // Appends a whole node.
  void push_node(std::uint32_t name, std::span<const Qubit> qubits, double duration_ns,
                 std::span<const Param> params);

  // Moves all of `other`'s nodes to the end of this store.
  void append(NodeStore&& other);
  // Appends copies of `source`'s nodes `first` .. `last` - 1, whose names and keys must
  // be ids of the string pool this store's ids come from.
  void append_copies(const NodeStore& source, NodeId first, NodeId last);

  GateNode node(NodeId id) const {
    return GateNode{id, names_[id],
                    std::span<const Qubit>(qubits_.data() + qubit_offsets_[id],
                                           qubits_.data() + qubit_offsets_[id + 1]),
                    durations_[id],
                    std::span<const Param>(params_.data() + param_offsets_[id],
                                           params_.data() + param_offsets_[id + 1])};
  }

  // Every qubit occurrence of every node, in id order.
  std::span<const Qubit> all_qubits() const { return qubits_; }
  // The number of parameters of all nodes together.
  std::size_t param_count() const { return params_.size(); }
  // The largest qubit index pushed, or nullopt when there is none.
  std::optional<Qubit> max_qubit() const {
    if (qubits_.empty()) return std::nullopt;
    return max_qubit_;
  }

 private:
  BigVector<std::uint32_t> names_;
  BigVector<double> durations_;
  BigVector<std::size_t> qubit_offsets_;
  BigVector<Qubit> qubits_;
  BigVector<std::size_t> param_offsets_;
  BigVector<Param> params_;
  Qubit max_qubit_ = 0;

  // Makes room for one more node in every per-node column; throws, changing nothing, when
  // the room cannot be had.
  void grow_node_columns();
};

// A circuit: operations with dense ids 0 .. next_id() - 1 in insertion order, their
// schedule, and the set of coupled qubit pairs.
//
// No edges are stored: node B depends on node A when A has the lower id and they share a
// qubit, so ascending id order is a topological order.
class QuantumDAG {
 public:
  QuantumDAG() = default;
  QuantumDAG(QuantumDAG&&) noexcept = default;
  QuantumDAG& operator=(QuantumDAG&&) noexcept = default;

  // The only way a node enters a graph. Returns its id. O(qubits + params) amortised.
  NodeId insert_node(std::uint32_t name, std::span<const Qubit> qubits, double duration_ns,
                     std::span<const Param> params);
  NodeId insert_node(std::string_view name, std::span<const Qubit> qubits, double duration_ns,
                     std::span<const Param> params) {
    return insert_node(names_.intern(name), qubits, duration_ns, params);
  }
  // Inserts every node of `batch` in order; its names and keys must come from strings().
  void insert_nodes(NodeStore&& batch);
  // Inserts copies of `source`'s nodes `first` .. `last` - 1 in order; every name and key
  // id of `source` must stand for the same text in strings().
  void insert_copies(const QuantumDAG& source, NodeId first, NodeId last) {
    nodes_.append_copies(source.nodes_, first, last);
  }

  // A node being built in place at the end of a graph: push its qubits and parameters,
  // then insert() it. A draft destroyed before insert() leaves the graph as it was, the
  // texts interned in the meantime included.
  class NodeDraft {
   public:
    explicit NodeDraft(QuantumDAG& dag) : dag_(dag), texts_(dag.names_) {}
    ~NodeDraft() {
      if (!inserted_) dag_.nodes_.discard_open();
    }
    NodeDraft(const NodeDraft&) = delete;
    NodeDraft& operator=(const NodeDraft&) = delete;

    // The store whose open node this draft builds.
    NodeStore& nodes() { return dag_.nodes_; }
    NodeId insert(std::uint32_t name, double duration_ns) {
      NodeId id = dag_.next_id();
      dag_.nodes_.close_node(name, duration_ns);
      texts_.keep();
      inserted_ = true;
      return id;
    }

   private:
    QuantumDAG& dag_;
    StringPool::Checkpoint texts_;
    bool inserted_ = false;
  };

  std::size_t node_count() const { return nodes_.size(); }
  // See NodeStore::reserve().
  void reserve(std::size_t nodes, std::size_t qubits, std::size_t params) noexcept {
    nodes_.reserve(nodes, qubits, params);
  }
  NodeId next_id() const { return nodes_.size(); }
  GateNode node(NodeId id) const { return nodes_.node(id); }
  const NodeStore& nodes() const { return nodes_; }

  // Names of nodes and keys of parameters.
  StringPool& strings() { return names_; }
  const StringPool& strings() const { return names_; }

  // The largest qubit index of any node, or nullopt when no node has a qubit.
  std::optional<Qubit> max_qubit() const { return nodes_.max_qubit(); }

  // Records every pair (a, b) as (a, b) and (b, a), keeping earlier pairs; or, if memory
  // runs out, none of them (and throws).
  void add_couplings(std::span<const std::pair<Qubit, Qubit>> pairs);
  bool coupled(Qubit a, Qubit b) const { return coupling_map_.contains({a, b}); }
  std::size_t coupling_count() const { return coupling_map_.size(); }
  // Calls visit(a, b) for every recorded pair, in no particular order.
  template <typename Visit>
  void for_each_coupling(Visit&& visit) const {
    for (const QubitPair& p : coupling_map_) visit(p.a, p.b);
  }

  // Entry i is the schedule of node i; ids at or past the end have none.
  std::span<const ScheduleEntry> schedule() const { return schedule_; }
  std::optional<ScheduleEntry> node_schedule(NodeId id) const {
    if (id >= schedule_.size()) return std::nullopt;
    return schedule_[id];
  }
  void set_schedule(BigVector<ScheduleEntry> schedule) { schedule_ = std::move(schedule); }

 private:
  struct QubitPair {
    Qubit a, b;
    bool operator==(const QubitPair&) const = default;
  };
  struct QubitPairHash {
    std::size_t operator()(const QubitPair& p) const noexcept;
  };

  NodeStore nodes_;
  StringPool names_;
  BigVector<ScheduleEntry> schedule_;
  std::unordered_set<QubitPair, QubitPairHash> coupling_map_;
};

}  // namespace vornak

#endif
