#include "dd/block_cut.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace vornak {
namespace {

using Indices = std::vector<std::uint32_t>;

struct Op {
  std::initializer_list<std::uint32_t> wires;
  bool boundary = false;
  bool resets = false;
};

std::vector<CutLevel> cut(std::uint32_t wires, std::initializer_list<Op> ops) {
  BlockCutter cutter(wires);
  std::uint32_t i = 0;
  for (const Op& op : ops) {
    const std::vector<std::uint32_t> w(op.wires);
    cutter.add(i++, w, op.boundary, op.resets);
  }
  return cutter.levels();
}

TEST(BlockCut, AnOperationAfterControlFlowOnOtherWiresStaysInTheBlockBefore) {
  // 0: gate q0, 1: control flow on q0, 2: gate q1 (no shared wire), 3: gate q0 q1.
  const auto levels = cut(2, {{{0}}, {{0}, true}, {{1}}, {{0, 1}}});
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_EQ(levels[0].block, (Indices{0, 2}));
  EXPECT_EQ(levels[0].boundary, (Indices{1}));
  EXPECT_EQ(levels[1].block, (Indices{3}));
  EXPECT_TRUE(levels[1].boundary.empty());
}

TEST(BlockCut, AResetEndsTheBlockOnItsQubitsOnly) {
  // 0: reset q0, 1: gate q1, 2: gate q0, 3: gate q1.
  const auto levels = cut(2, {{{0}, false, true}, {{1}}, {{0}}, {{1}}});
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_EQ(levels[0].block, (Indices{0, 1, 3}));
  EXPECT_EQ(levels[1].block, (Indices{2}));
}

TEST(BlockCut, BoundariesOnDisjointWiresShareALevelAndChainOnASharedOne) {
  // Control flow on q0, on q1, then a store on the variables' wire (2) after one on it too.
  const auto levels = cut(3, {{{0}, true}, {{1}, true}, {{2}, true}, {{2}, true}, {{0, 1}}});
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_EQ(levels[0].boundary, (Indices{0, 1, 2}));
  EXPECT_EQ(levels[1].boundary, (Indices{3}));
  EXPECT_EQ(levels[1].block, (Indices{4}));
}

TEST(BlockCut, AnInstructionWithoutWiresGoesToTheFirstLevel) {
  const auto levels = cut(1, {{{0}, true}, {{}, true}, {{0}}});
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_EQ(levels[0].boundary, (Indices{0, 1}));
  EXPECT_EQ(levels[1].block, (Indices{2}));
}

TEST(BlockCut, BoundariesGoInTheOrderOfTheirLowestWire) {
  // Listed as q2, nothing, q0 and c (wire 3), q1: the wireless one last.
  const auto levels = cut(4, {{{2}, true}, {{}, true}, {{3, 0}, true}, {{1}, true}});
  ASSERT_EQ(levels.size(), 1u);
  EXPECT_EQ(levels[0].boundary, (Indices{2, 3, 0, 1}));
}

TEST(BlockCut, TheCutIsTheSameInEveryOrderOnTheWires) {
  // A store on a clbit (wire 2) and control flow on q1 and that clbit, after a measurement
  // of q0 into it; control flow on q0 beside them. Listed in two orders that keep the order
  // on every wire.
  const Op measure{{0, 2}}, store{{2}, true}, flow_q1{{1, 2}, true}, flow_q0{{0}, true};
  BlockCutter first(3), second(3);
  const std::vector<const Op*> a{&measure, &store, &flow_q1, &flow_q0};
  const std::vector<const Op*> b{&measure, &flow_q0, &store, &flow_q1};
  for (std::uint32_t i = 0; i < a.size(); ++i) {
    first.add(i, std::vector<std::uint32_t>(a[i]->wires), a[i]->boundary, false);
    second.add(i, std::vector<std::uint32_t>(b[i]->wires), b[i]->boundary, false);
  }
  // b lists a's instructions 0, 3, 1, 2 at 0, 1, 2, 3.
  const Indices to_a{0, 3, 1, 2};
  ASSERT_EQ(first.levels().size(), second.levels().size());
  for (std::size_t k = 0; k < first.levels().size(); ++k) {
    for (auto part : {&CutLevel::block, &CutLevel::boundary}) {
      Indices mapped;
      for (std::uint32_t i : second.levels()[k].*part) mapped.push_back(to_a[i]);
      EXPECT_EQ(first.levels()[k].*part, mapped) << k;
    }
  }
  EXPECT_EQ(first.levels()[0].boundary, (Indices{3, 1}));
  EXPECT_EQ(first.levels()[1].boundary, (Indices{2}));
}

TEST(BlockCut, EmptyCircuitHasNoLevels) { EXPECT_TRUE(cut(3, {}).empty()); }

}  // namespace
}  // namespace vornak
