#include "dd/block_cut.h"

#include <algorithm>

namespace vornak {

void BlockCutter::add(std::uint32_t index, std::span<const std::uint32_t> wires, bool boundary,
                      bool resets) {
  std::uint32_t level = 0;
  for (std::uint32_t w : wires) level = std::max(level, ready_[w]);
  if (levels_.size() <= level) levels_.resize(level + 1);
  (boundary ? levels_[level].boundary : levels_[level].block).push_back(index);
  const std::uint32_t after = boundary || resets ? level + 1 : level;
  for (std::uint32_t w : wires) ready_[w] = after;
}

}  // namespace vornak
