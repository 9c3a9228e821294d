#include "dd/coupling_colours.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <utility>
#include <vector>

namespace vornak {
namespace {

using Edges = std::vector<std::pair<std::size_t, std::size_t>>;

// The graph of `edges` on `slots` slots, every slot coloured unless listed in `bare`.
CouplingColours coloured(std::size_t slots, const Edges& edges, const std::set<std::size_t>& bare = {}) {
  Edges pairs;
  for (const auto& [a, b] : edges) {
    pairs.emplace_back(a, b);
    pairs.emplace_back(b, a);
  }
  CouplingColours graph;
  graph.connect(slots, pairs);
  std::vector<std::uint8_t> take(slots, 1);
  for (std::size_t s : bare) take[s] = 0;
  graph.assign(take);
  return graph;
}

void expect_proper(const CouplingColours& graph, const Edges& edges) {
  for (const auto& [a, b] : edges) {
    EXPECT_NE(graph.colour(a), CouplingColours::kNone) << a;
    EXPECT_NE(graph.colour(a), graph.colour(b)) << a << "-" << b;
    EXPECT_EQ(graph.component(a), graph.component(b)) << a << "-" << b;
  }
}

std::uint32_t colours_used(const CouplingColours& graph, std::size_t slots) {
  std::uint32_t most = 0;
  for (std::size_t s = 0; s < slots; ++s) {
    if (graph.colour(s) != CouplingColours::kNone) most = std::max(most, graph.colour(s) + 1);
  }
  return most;
}

TEST(CouplingColours, BipartitePartsTakeTwoColoursAndLoneQubitsOne) {
  // A hexagon with a pendant (heavy-hex-like), repeated edges, a lone qubit (6) and one that
  // takes no pulses (7).
  const Edges edges{{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 0}, {2, 8}, {1, 0}, {0, 1}};
  const CouplingColours graph = coloured(9, edges, {7});
  expect_proper(graph, edges);
  EXPECT_EQ(colours_used(graph, 9), 2u);
  EXPECT_EQ(graph.colour(7), CouplingColours::kNone);
  EXPECT_EQ(graph.colour(6), 0u);
  EXPECT_NE(graph.component(6), graph.component(0));
  EXPECT_EQ(graph.two_coloured(), (std::vector<bool>{true, false}));
  // Each neighbour once, in order.
  const std::span<const std::size_t> around = graph.neighbours(0);
  EXPECT_EQ(std::vector<std::size_t>(around.begin(), around.end()),
            (std::vector<std::size_t>{1, 5}));
}

TEST(CouplingColours, OddCyclesAndCliquesColouredProperly) {
  // A triangle, a pentagon and K4, apart: none two-coloured, 3, 3 and 4 colours.
  const Edges edges{{0, 1}, {1, 2}, {2, 0},                          // triangle
                    {3, 4}, {4, 5}, {5, 6}, {6, 7}, {7, 3},          // pentagon
                    {8, 9}, {8, 10}, {8, 11}, {9, 10}, {9, 11}, {10, 11}};  // K4
  const CouplingColours graph = coloured(12, edges);
  expect_proper(graph, edges);
  EXPECT_EQ(graph.two_coloured(), (std::vector<bool>{false, false, false}));
  std::uint32_t pentagon = 0;
  for (std::size_t s = 3; s < 8; ++s) pentagon = std::max(pentagon, graph.colour(s) + 1);
  EXPECT_EQ(pentagon, 3u);
  EXPECT_EQ(colours_used(graph, 12), 4u);
}

TEST(CouplingColours, RandomGraphsColouredProperly) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 50; ++round) {
    const std::size_t slots = 5 + round;
    std::uniform_int_distribution<std::size_t> slot(0, slots - 1);
    Edges edges;
    for (std::size_t i = 0; i < slots + round % 7 * slots / 3; ++i) {
      const std::size_t a = slot(rng), b = slot(rng);
      if (a != b) edges.emplace_back(a, b);
    }
    SCOPED_TRACE(round);
    const CouplingColours graph = coloured(slots, edges);
    expect_proper(graph, edges);
    std::vector<std::size_t> degree(slots, 0);
    for (std::size_t s = 0; s < slots; ++s) degree[s] = graph.neighbours(s).size();
    for (std::size_t s = 0; s < slots; ++s) EXPECT_LE(graph.colour(s), degree[s]);
  }
}

TEST(CouplingColours, FlippingSidesKeepsTheColouringProper) {
  // Two paths: only the first is flipped.
  const Edges edges{{0, 1}, {1, 2}, {3, 4}};
  CouplingColours graph = coloured(5, edges);
  const std::uint32_t before0 = graph.colour(0), before3 = graph.colour(3);
  std::vector<bool> flip(graph.two_coloured().size(), false);
  flip[graph.component(0)] = true;
  graph.flip_sides(flip);
  expect_proper(graph, edges);
  EXPECT_EQ(graph.colour(0), before0 ^ 1);
  EXPECT_EQ(graph.colour(3), before3);
}

}  // namespace
}  // namespace vornak
