#include "dd/block_residues.h"

#include <array>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace vornak {

std::optional<std::vector<double>> block_residues(std::span<const double> phases,
                                                  std::size_t block) {
  if (block == 0 || phases.empty() || phases.size() % block != 0) {
    throw std::invalid_argument("block_residues: the phases must be whole blocks, at least one");
  }
  std::vector<double> out;
  out.reserve(6 * (phases.size() / block));
  // The errors of the pulses so far, carried to after the latest: off resonance, then
  // over-rotation.
  std::array<std::array<double, 3>, 2> g{};
  for (std::size_t k = 0; k < phases.size(); ++k) {
    const double c = std::cos(phases[k]), s = std::sin(phases[k]);
    for (std::array<double, 3>& v : g) {
      const double along = 2 * (c * v[0] + s * v[1]);
      v = {along * c - v[0], along * s - v[1], -v[2]};
    }
    g[0][0] += 2 * s;
    g[0][1] -= 2 * c;
    g[1][0] += std::numbers::pi * c;
    g[1][1] += std::numbers::pi * s;
    if ((k + 1) % block == 0) {
      for (const std::array<double, 3>& v : g) out.insert(out.end(), v.begin(), v.end());
    }
  }
  for (std::size_t a = out.size() - 6; a < out.size(); ++a) {
    if (std::abs(out[a]) > kNoResidue) return std::nullopt;
  }
  for (double& v : out) {
    if (std::abs(v) < kNoResidue) v = 0.0;
  }
  return out;
}

}  // namespace vornak
