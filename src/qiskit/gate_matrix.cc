#include "qiskit/gate_matrix.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <numbers>

#include "qiskit/python_values.h"

namespace vornak::bridge {
namespace {

using namespace pauli;  // the core's matrices and their builders

// The matrix of the standard gate `gate` with parameters `p`, for the gates a physical
// circuit holds; false for any other.
bool standard_matrix(QkGate gate, const double* p, Matrix& u) {
  const double pi = std::numbers::pi;
  const double r = std::numbers::sqrt2 / 2;
  switch (gate) {
    case QkGate_I: u = single(1, 0, 0, 1); return true;
    case QkGate_X: u = single(0, 1, 1, 0); return true;
    case QkGate_Y: u = single(0, -kI, kI, 0); return true;
    case QkGate_Z: u = single(1, 0, 0, -1); return true;
    case QkGate_H: u = single(r, r, r, -r); return true;
    case QkGate_S: u = single(1, 0, 0, kI); return true;
    case QkGate_Sdg: u = single(1, 0, 0, -kI); return true;
    case QkGate_T: u = single(1, 0, 0, std::exp(kI * (pi / 4))); return true;
    case QkGate_Tdg: u = single(1, 0, 0, std::exp(-kI * (pi / 4))); return true;
    case QkGate_SX: u = single({0.5, 0.5}, {0.5, -0.5}, {0.5, -0.5}, {0.5, 0.5}); return true;
    case QkGate_SXdg: u = single({0.5, -0.5}, {0.5, 0.5}, {0.5, 0.5}, {0.5, -0.5}); return true;
    case QkGate_Phase:
    case QkGate_U1: u = single(1, 0, 0, std::exp(kI * p[0])); return true;
    case QkGate_RX: u = rotation(p[0], 1, 0, 0); return true;
    case QkGate_RY: u = rotation(p[0], 0, 1, 0); return true;
    case QkGate_RZ: u = rotation(p[0], 0, 0, 1); return true;
    case QkGate_R: u = rotation(p[0], std::cos(p[1]), std::sin(p[1]), 0); return true;
    case QkGate_U:
    case QkGate_U3: u = u3(p[0], p[1], p[2]); return true;
    case QkGate_U2: u = u3(pi / 2, p[0], p[1]); return true;
    case QkGate_CX: u = controlled(single(0, 1, 1, 0)); return true;
    case QkGate_CY: u = controlled(single(0, -kI, kI, 0)); return true;
    case QkGate_CZ: u = diagonal(1, 1, 1, -1); return true;
    case QkGate_CPhase: u = diagonal(1, 1, 1, std::exp(kI * p[0])); return true;
    case QkGate_CRZ: u = controlled(rotation(p[0], 0, 0, 1)); return true;
    case QkGate_RZZ: {
      const Complex a = std::exp(-kI * (p[0] / 2)), b = std::conj(a);
      u = diagonal(a, b, b, a);
      return true;
    }
    case QkGate_Swap:
      u = diagonal(1, 0, 0, 1);
      u.at(1, 2) = u.at(2, 1) = 1;
      return true;
    case QkGate_ECR:
      u = Matrix{};
      u.qubits = 2;
      u.at(0, 1) = r, u.at(0, 3) = kI * r, u.at(1, 0) = r, u.at(1, 2) = -kI * r;
      u.at(2, 1) = kI * r, u.at(2, 3) = r, u.at(3, 0) = -kI * r, u.at(3, 2) = r;
      return true;
    default: return false;
  }
}

}  // namespace

bool read_matrix(const Source& source, std::uint32_t node, const QkCircuitInstructionView& view,
                 Matrix& u, int* gate) {
  if (view.num_qubits == 0 || view.num_qubits > 2) return false;
  const QkOperationKind kind = source.kind(node);
  if (kind == QkOperationKind_Gate) {
    std::array<double, 4> params{};
    if (view.num_params > params.size()) return false;
    const std::size_t stride = qk_param_stride();
    for (std::uint32_t p = 0; p < view.num_params; ++p) {
      params[p] = qk_param_as_real(param_at(view.params, p, stride));
      if (!std::isfinite(params[p])) return false;
    }
    const QkGate g = source.gate(node, view);
    if (gate != nullptr) *gate = static_cast<int>(g);
    return standard_matrix(g, params.data(), u) && u.qubits == view.num_qubits;
  }
  if (kind == QkOperationKind_Unitary) {
    std::array<QkComplex64, 16> m{};
    source.unitary(node, m.data());
    u.qubits = view.num_qubits;
    for (std::size_t k = 0; k < (std::size_t{1} << (2 * u.qubits)); ++k) u.m[k] = {m[k].re, m[k].im};
    return true;
  }
  return false;
}

}  // namespace vornak::bridge
