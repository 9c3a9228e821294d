#include "graph/dag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

namespace vornak {
namespace {

using Params = std::vector<std::pair<std::uint32_t, double>>;  // sorted by key
using Node = std::tuple<std::uint32_t, std::vector<Qubit>, double, Params>;
constexpr Qubit kTop = ~Qubit{0};

Node view(const GateNode& node) {
  Params params;
  for (const Param& p : node.params) params.emplace_back(p.key, p.value);
  std::sort(params.begin(), params.end());
  return {node.name, {node.qubits.begin(), node.qubits.end()}, node.duration_ns, params};
}

TEST(QuantumDAG, AnAbandonedDraftTakesItsTextsAlong) {
  QuantumDAG dag;
  std::uint32_t h = dag.strings().intern("h");
  {
    QuantumDAG::NodeDraft draft(dag);
    draft.nodes().push_qubit(4);
    draft.nodes().push_param({dag.strings().intern("theta"), 1.0});
    dag.strings().intern("rz");
  }
  EXPECT_EQ(dag.node_count(), 0u);
  EXPECT_EQ(dag.strings().size(), 1u);
  {
    QuantumDAG::NodeDraft draft(dag);
    std::uint32_t cx = dag.strings().intern("cx");
    draft.nodes().push_qubit(1);
    EXPECT_EQ(draft.insert(cx, 2.0), 0u);
  }
  // Ids of forgotten texts are handed out again, and kept texts keep theirs.
  EXPECT_EQ(dag.strings().intern("h"), h);
  EXPECT_EQ(dag.strings().intern("cx"), 1u);
  EXPECT_EQ(dag.strings().intern("theta"), 2u);
  EXPECT_EQ(view(dag.node(0)), Node(1, {1}, 2.0, {}));
  EXPECT_EQ(dag.max_qubit(), Qubit{1});
}

TEST(NodeStore, AppendCopiesRebasesOffsetsOfAnyRange) {
  NodeStore source, copy;
  Qubit a[] = {3, 4}, b[] = {kTop}, none[] = {0};
  Param pa[] = {{1, 0.25}}, pb[] = {{2, 1.0}, {3, 2.0}};
  source.push_node(1, a, 10.0, pa);
  source.push_node(2, std::span<const Qubit>(none, 0), 20.0, {});
  source.push_node(3, b, 30.0, pb);
  source.push_node(4, a, 40.0, {});
  copy.push_node(9, none, 1.0, pb);
  copy.append_copies(source, 2, 2);  // an empty range adds nothing
  copy.append_copies(source, 1, 3);
  copy.append_copies(source, 0, 1);
  copy.append_copies(source, 3, 4);
  ASSERT_EQ(copy.size(), 5u);
  EXPECT_EQ(view(copy.node(0)), Node(9, {0}, 1.0, {{2, 1.0}, {3, 2.0}}));
  EXPECT_EQ(view(copy.node(1)), Node(2, {}, 20.0, {}));
  EXPECT_EQ(view(copy.node(2)), Node(3, {kTop}, 30.0, {{2, 1.0}, {3, 2.0}}));
  EXPECT_EQ(view(copy.node(3)), Node(1, {3, 4}, 10.0, {{1, 0.25}}));
  EXPECT_EQ(view(copy.node(4)), Node(4, {3, 4}, 40.0, {}));
  EXPECT_EQ(copy.max_qubit(), kTop);
  EXPECT_EQ(copy.all_qubits().size(), 6u);
  EXPECT_EQ(copy.param_count(), 5u);
}

TEST(NodeStore, PushCloseAndAppendKeepEveryNode) {
  NodeStore front, back, empty;
  EXPECT_EQ(front.max_qubit(), std::nullopt);
  front.push_qubit(7);
  front.push_qubit(2);
  front.push_param({5, 0.5});
  front.close_node(10, 1.0);
  front.close_node(11, -1.0);
  Qubit qubits[] = {kTop, 0};
  Param params[] = {{2, 3.0}, {1, 2.0}};
  back.push_node(12, qubits, 3.0, params);
  front.append(std::move(back));
  EXPECT_EQ(back.size(), 0u);
  empty.append(std::move(front));
  ASSERT_EQ(empty.size(), 3u);
  EXPECT_EQ(view(empty.node(0)), Node(10, {7, 2}, 1.0, {{5, 0.5}}));
  EXPECT_EQ(view(empty.node(1)), Node(11, {}, -1.0, {}));
  EXPECT_EQ(view(empty.node(2)), Node(12, {kTop, 0}, 3.0, {{1, 2.0}, {2, 3.0}}));
  EXPECT_EQ(empty.max_qubit(), kTop);
}

TEST(NodeStore, DedupeKeepsTheLastValuePerKeyOfTheOpenNodeOnly) {
  NodeStore store;
  Params pushes[] = {
      {{1, 9.0}}, {{2, 1.0}, {1, 2.0}, {2, 3.0}, {1, 4.0}, {3, 5.0}}, {{1, 6.0}, {1, 7.0}}};
  for (const Params& node : pushes) {
    for (auto [key, value] : node) store.push_param({key, value});
    store.dedupe_open_params();
    store.close_node(0, 0.0);
  }
  EXPECT_EQ(std::get<3>(view(store.node(0))), (Params{{1, 9.0}}));
  EXPECT_EQ(std::get<3>(view(store.node(1))), (Params{{1, 4.0}, {2, 3.0}, {3, 5.0}}));
  EXPECT_EQ(std::get<3>(view(store.node(2))), (Params{{1, 7.0}}));
}

TEST(QuantumDAG, IdsAreConsecutiveAcrossSingleAndBatchInsertion) {
  QuantumDAG dag;
  Qubit q[] = {4, 4};
  EXPECT_EQ(dag.insert_node("h", q, 1.0, {}), 0u);
  NodeStore batch;
  batch.push_node(dag.strings().intern("m"), {}, 2.0, {});
  batch.push_node(dag.strings().intern("h"), q, 3.0, {});
  dag.insert_nodes(std::move(batch));
  EXPECT_EQ(dag.insert_node("x", q, 4.0, {}), 3u);
  ASSERT_EQ(dag.node_count(), 4u);
  EXPECT_EQ(view(dag.node(2)), Node(dag.node(0).name, {4, 4}, 3.0, {}));
  EXPECT_EQ(dag.strings().text(dag.node(1).name), "m");
  EXPECT_EQ(view(dag.node(3)), Node(dag.strings().intern("x"), {4, 4}, 4.0, {}));
}

TEST(QuantumDAG, CouplingMapIsSymmetricAndAccumulates) {
  QuantumDAG dag;
  std::pair<Qubit, Qubit> steps[] = {{0, 1}, {1, 2}, {3, 3}, {1, 0}, {kTop, 0}};
  std::size_t counts[] = {2, 4, 5, 5, 7};
  for (int i = 0; i < 5; ++i) {
    auto [a, b] = steps[i];
    std::pair<Qubit, Qubit> pair[] = {{a, b}};
    dag.add_couplings(pair);
    EXPECT_EQ(dag.coupling_count(), counts[i]) << "after step " << i;
    EXPECT_TRUE(dag.coupled(a, b) && dag.coupled(b, a)) << a << "-" << b;
  }
  EXPECT_FALSE(dag.coupled(0, 2) || dag.coupled(0, 0) || dag.coupled(kTop, kTop));
}

TEST(StringPool, InternsDenseIdsInOrderOfFirstAppearance) {
  StringPool pool;
  std::string_view texts[] = {"h", "", std::string_view("a\0b", 3), "a"};
  for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(pool.intern(texts[i]), i);
  for (int i = 0; i < 5000; ++i) pool.intern(std::to_string(i));  // the table grows
  for (std::uint32_t i = 0; i < 4; ++i) EXPECT_EQ(pool.intern(std::string(texts[i])), i);
  EXPECT_EQ(pool.size(), 5004u);
  EXPECT_EQ(pool.text(2), texts[2]);
  EXPECT_EQ(pool.text(5003), "4999");
}

}  // namespace
}  // namespace vornak
