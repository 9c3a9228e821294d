#ifndef VORNAK_DD_BLOCK_RESIDUES_H
#define VORNAK_DD_BLOCK_RESIDUES_H

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace vornak {

// Below this, per unit of pulse error, a residue counts as none: phases given as floats
// (π rounded) leave crumbs of about 1e-16 where the exact sequence leaves nothing.
inline constexpr double kNoResidue = 1e-6;

// The first-order errors a sequence of π pulses leaves after each whole block of `block`
// pulses: pulse k a rotation by π about (cos φ_k, sin φ_k, 0), φ_k = `phases`[k]. For
// j = 1 .. phases.size() / block, the rotation vector g (the first j blocks make
// e^{-i g·σ/2} times their ideal product) per unit of off-resonance error f (every pulse's
// drive off by f of its Rabi frequency: its axis tilted towards z, its angle π·sqrt(1 + f²)),
// then per unit of over-rotation ε (every angle π(1 + ε)): six numbers per j, at 6 (j − 1),
// as RunResidues reads them. Numbers below kNoResidue are 0.
//
// nullopt where the whole sequence leaves a first-order error (some number of the last six
// above kNoResidue): turning runs by frames would then change what the sequence does. X, X̄,
// X̄, X (phases 0, π, π, 0) in blocks of two leaves (0, 4, 0) per unit off resonance after
// one block and nothing in whole; X-X leaves 2π per unit of over-rotation about x: nullopt.
//
// In closed form: to first order a pulse about n = (cos φ, sin φ, 0) off resonance by f turns
// by a further 2f about n × z = (sin φ, −cos φ, 0) after it (the tilt towards z, carried
// through the pulse and averaged over it), and over-rotated by ε by a further πε about n; an
// error before the pulse comes out of it as 2 (n·g) n − g. Throws std::invalid_argument
// unless `block` >= 1 and phases.size() is a positive multiple of it. O(phases).
std::optional<std::vector<double>> block_residues(std::span<const double> phases,
                                                  std::size_t block);

}  // namespace vornak

#endif
