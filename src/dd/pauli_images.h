#ifndef VORNAK_DD_PAULI_IMAGES_H
#define VORNAK_DD_PAULI_IMAGES_H

#include <array>
#include <cstdint>
#include <utility>

#include "dd/gate_matrix.h"

// The action of a gate on Pauli strings by conjugation, U P U†, and the rotations of a
// qubit's X, Y, Z that single-qubit gates make: what the frames for runs carry their errors
// through. A string of a gate's qubits is a label with the letter of qubit k in bits 2k,
// 2k+1 (I, X, Y, Z = 0..3).
namespace vornak::pauli {

// Coefficients below this count as 0.
inline constexpr double kNegligible = 1e-9;

// U P U† of a gate U for each string P of its qubits, as far as asked for: the real
// coefficient of each string.
struct Images {
  std::array<bool, 16> known{};
  std::array<std::array<double, 16>, 16> of{};
  // The strings (other than I) each image holds, with their coefficients: few for most
  // gates (one for a Clifford gate's).
  std::array<std::uint8_t, 16> count{};
  std::array<std::array<std::pair<std::uint8_t, double>, 15>, 16> terms{};

  // Finds the image of string `label` under `u` once: a later call for the same label does
  // nothing, so one Images serves one matrix until `known` is cleared.
  void find(const Matrix& u, int label);
};

// A rotation of a qubit's X, Y, Z (the images of a single-qubit gate, composed), row-major:
// entry 3a + b is the coefficient of letter a + 1 in the image of letter b + 1.
using Turn = std::array<double, 9>;
inline constexpr Turn kNoTurn{1, 0, 0, 0, 1, 0, 0, 0, 1};

// The turn of the single-qubit gate `u`, from its images (found in `images` where not yet).
Turn turn_of(const Matrix& u, Images& images);

// The turn of a rotation by `angle` about z (rz, p, u1; they differ only in global phase),
// in closed form.
Turn z_turn(double angle);

// The turn `later` after the turn `earlier`.
Turn compose(const Turn& later, const Turn& earlier);

}  // namespace vornak::pauli

#endif
