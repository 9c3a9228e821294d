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

// The matrix of the standard gate `gate` with parameters `p`, for the gates a physical
// circuit holds; false for any other.
bool standard_matrix(QkGate gate, const double* p, Matrix& u);

// U P U† in the Pauli basis: the real coefficient of each string of the gate's qubits (letter
// of qubit k in bits 2k, 2k+1 of `label` and of the index; I, X, Y, Z = 0..3).
std::array<double, 16> conjugate(const Matrix& u, int label);

// conjugate(), in closed form for a diagonal single-qubit gate diag(a, b) (rz, the
// circuit's most common gate): with w = a·b*, X goes to Re w·X − Im w·Y, Y to Im w·X +
// Re w·Y, and Z stays.
std::array<double, 16> image_of(const Matrix& u, int label);

// U P U† of a gate U for each string P of its qubits, as far as asked for.
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

// The matrix of the operation at `node` where it is a gate or unitary of one or two qubits
// with known numbers; false otherwise (a measurement, a reset, an unbound parameter, ...).
// `gate`, when given, receives the standard gate's number (-1 for a unitary).
bool read_matrix(const Source& source, std::uint32_t node, const QkCircuitInstructionView& view,
                 Matrix& u, int* gate = nullptr);

}  // namespace vornak::bridge::pauli

#endif
