#ifndef VORNAK_QISKIT_PAULI_IMAGES_H
#define VORNAK_QISKIT_PAULI_IMAGES_H

#include "qiskit/capi.h"

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "qiskit/source.h"

// The gates of a circuit as matrices, and their action on Pauli strings by conjugation: what
// the frames for runs carry their errors through.
namespace vornak::bridge::pauli {

using Complex = std::complex<double>;

// Coefficients below this count as 0.
inline constexpr double kNegligible = 1e-9;

// A unitary of one or two qubits, row-major, the first qubit the least significant bit.
struct Matrix {
  std::uint32_t qubits = 0;
  std::array<Complex, 16> m{};
  Complex& at(std::size_t r, std::size_t c) { return m[r * (std::size_t{1} << qubits) + c]; }
  Complex at(std::size_t r, std::size_t c) const { return m[r * (std::size_t{1} << qubits) + c]; }
};

// U P U† of a gate U for each string P of its qubits, as far as asked for: the real
// coefficient of each string (letter of qubit k in bits 2k, 2k+1; I, X, Y, Z = 0..3).
struct Images {
  std::array<bool, 16> known{};
  std::array<std::array<double, 16>, 16> of{};
  // The strings (other than I) each image holds, with their coefficients: few for most
  // gates (one for a Clifford gate's).
  std::array<std::uint8_t, 16> count{};
  std::array<std::array<std::pair<std::uint8_t, double>, 15>, 16> terms{};

  // Finds the image of string `label` under `u` once.
  void find(const Matrix& u, int label);
};

// A rotation of a qubit's X, Y, Z (the images of a single-qubit gate, composed), row-major:
// entry 3a + b is the coefficient of letter a + 1 in the image of letter b + 1.
using Turn = std::array<double, 9>;
inline constexpr Turn kNoTurn{1, 0, 0, 0, 1, 0, 0, 0, 1};

// The turn of the single-qubit gate `u`, from its images (found in `images` where not yet).
Turn turn_of(const Matrix& u, Images& images);

// The turn `later` after the turn `earlier`.
Turn compose(const Turn& later, const Turn& earlier);

// The matrix of the operation at `node` where it is a gate or unitary of one or two qubits
// with known numbers; false otherwise (a measurement, a reset, an unbound parameter, ...).
// `gate`, when given, receives the standard gate's number (-1 for a unitary).
bool read_matrix(const Source& source, std::uint32_t node, const QkCircuitInstructionView& view,
                 Matrix& u, int* gate = nullptr);

}  // namespace vornak::bridge::pauli

#endif
