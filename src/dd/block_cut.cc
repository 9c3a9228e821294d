#include "dd/block_cut.h"

#include <algorithm>
#include <limits>

namespace vornak {

void BlockCutter::add(std::uint32_t index, std::span<const std::uint32_t> wires, bool boundary,
                      bool resets) {
  std::uint32_t level = 0;
  for (std::uint32_t w : wires) level = std::max(level, ready_[w]);
  if (levels_.size() <= level) {
    levels_.resize(level + 1);
    boundary_keys_.resize(level + 1);
  }
  if (boundary) {
    const std::uint32_t key =
        wires.empty() ? std::numeric_limits<std::uint32_t>::max()
                      : *std::min_element(wires.begin(), wires.end());
    std::vector<std::uint32_t>& keys = boundary_keys_[level];
    const auto at = std::upper_bound(keys.begin(), keys.end(), key) - keys.begin();
    keys.insert(keys.begin() + at, key);
    std::vector<std::uint32_t>& indices = levels_[level].boundary;
    indices.insert(indices.begin() + at, index);
  } else {
    levels_[level].block.push_back(index);
  }
  const std::uint32_t after = boundary || resets ? level + 1 : level;
  for (std::uint32_t w : wires) ready_[w] = after;
}

}  // namespace vornak
