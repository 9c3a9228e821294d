#include "dd/coupling_colours.h"

#include <algorithm>
#include <set>
#include <tuple>

namespace vornak {

void CouplingColours::connect(std::size_t slots,
                              std::vector<std::pair<std::size_t, std::size_t>>& pairs) {
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  offsets_.assign(slots + 1, 0);
  neighbours_.clear();
  neighbours_.reserve(pairs.size());
  for (const auto& [a, b] : pairs) {
    ++offsets_[a + 1];
    neighbours_.push_back(b);
  }
  for (std::size_t s = 0; s < slots; ++s) offsets_[s + 1] += offsets_[s];
}

void CouplingColours::assign(std::span<const std::uint8_t> coloured) {
  const std::size_t slots = offsets_.size() - 1;
  colour_.assign(slots, kNone);
  component_.assign(slots, kNone);
  two_coloured_.clear();
  std::vector<std::size_t> part;
  for (std::size_t root = 0; root < slots; ++root) {
    if (coloured[root] == 0 || colour_[root] != kNone) continue;
    part.assign(1, root);
    colour_[root] = 0;
    component_[root] = static_cast<std::uint32_t>(two_coloured_.size());
    bool bipartite = true;
    for (std::size_t i = 0; i < part.size(); ++i) {
      const std::size_t s = part[i];
      for (std::size_t t : neighbours(s)) {
        if (colour_[t] == kNone) {
          colour_[t] = colour_[s] ^ 1;
          component_[t] = component_[s];
          part.push_back(t);
        } else if (colour_[t] == colour_[s]) {
          bipartite = false;
        }
      }
    }
    if (!bipartite) colour_dsatur(part);
    two_coloured_.push_back(bipartite && part.size() > 1);
  }
}

void CouplingColours::flip_sides(const std::vector<bool>& components) {
  for (std::size_t s = 0; s < colour_.size(); ++s) {
    if (colour_[s] != kNone && components[component_[s]]) colour_[s] ^= 1;
  }
}

// Colours `part` (a connected part of the graph) again, always next the vertex with the most
// distinct colours among its neighbours (then the most neighbours), with the least colour
// none of them has.
void CouplingColours::colour_dsatur(const std::vector<std::size_t>& part) {
  for (std::size_t s : part) colour_[s] = kNone;
  // Positions in `part`, by slot: one array for all parts, so that many small odd cycles
  // cost no more than one large one.
  std::vector<std::size_t>& local = part_position_;
  if (local.size() != colour_.size()) local.assign(colour_.size(), 0);
  for (std::size_t i = 0; i < part.size(); ++i) local[part[i]] = i;
  std::vector<std::vector<std::uint32_t>> around(part.size());  // neighbours' colours
  using Key = std::tuple<std::size_t, std::size_t, std::size_t>;  // -sat, -degree, slot
  auto key = [&](std::size_t s) {
    return Key{~around[local[s]].size(), ~neighbours(s).size(), s};
  };
  std::set<Key> queue;
  for (std::size_t s : part) queue.insert(key(s));
  while (!queue.empty()) {
    const std::size_t s = std::get<2>(*queue.begin());
    queue.erase(queue.begin());
    std::vector<std::uint32_t>& taken = around[local[s]];
    std::sort(taken.begin(), taken.end());
    std::uint32_t c = 0;
    for (std::uint32_t t : taken) {
      if (t == c) ++c;
    }
    colour_[s] = c;
    for (std::size_t t : neighbours(s)) {
      if (colour_[t] != kNone) continue;
      std::vector<std::uint32_t>& theirs = around[local[t]];
      if (std::find(theirs.begin(), theirs.end(), c) != theirs.end()) continue;
      queue.erase(key(t));
      theirs.push_back(c);
      queue.insert(key(t));
    }
  }
}

}  // namespace vornak
