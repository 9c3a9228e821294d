#ifndef VORNAK_DD_GATE_MATRIX_H
#define VORNAK_DD_GATE_MATRIX_H

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>

// The matrix of a gate of one or two qubits, and the standard gates built from their angles:
// what the frames for runs carry the pulses' errors through. The numbers are Qiskit's
// definitions (its U(θ, φ, λ), its qubit order), so that a matrix built here equals the one
// Qiskit reports for the same gate.
namespace vornak::pauli {

using Complex = std::complex<double>;

inline constexpr Complex kI{0.0, 1.0};

// A unitary of one or two qubits, row-major, the first qubit the least significant bit of the
// row and column index. A matrix of one qubit uses the first four entries.
struct Matrix {
  std::uint32_t qubits = 0;
  std::array<Complex, 16> m{};
  Complex& at(std::size_t r, std::size_t c) { return m[r * (std::size_t{1} << qubits) + c]; }
  Complex at(std::size_t r, std::size_t c) const { return m[r * (std::size_t{1} << qubits) + c]; }
};

// The single-qubit matrix [[a, b], [c, d]].
Matrix single(Complex a, Complex b, Complex c, Complex d);

// The two-qubit diagonal matrix diag(a, b, c, d).
Matrix diagonal(Complex a, Complex b, Complex c, Complex d);

// U(θ, φ, λ) = [[cos θ/2, −e^{iλ} sin θ/2], [e^{iφ} sin θ/2, e^{i(φ+λ)} cos θ/2]].
Matrix u3(double theta, double phi, double lam);

// exp(−i θ/2 (nx X + ny Y + nz Z)) for a unit axis (nx, ny, nz): rx, ry, rz and r.
Matrix rotation(double theta, double nx, double ny, double nz);

// The single-qubit gate `g` controlled by the first of two qubits, acting on the second.
Matrix controlled(const Matrix& g);

}  // namespace vornak::pauli

#endif
