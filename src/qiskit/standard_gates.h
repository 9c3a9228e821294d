#ifndef VORNAK_QISKIT_STANDARD_GATES_H
#define VORNAK_QISKIT_STANDARD_GATES_H

#include "qiskit/capi.h"

#include <string>
#include <string_view>
#include <vector>

namespace vornak::bridge {

// The name Qiskit gives each standard gate, by gate number (empty for a gate that cannot be
// written into a scratch circuit).
const std::vector<std::string>& standard_gate_names();

// The standard gate that Qiskit names `name`; kStandardGates where none is.
QkGate standard_gate_named(std::string_view name);

// Whether standard gate `g` is a rotation about z by its one angle (rz, p, u1: they differ
// only in global phase).
inline bool is_z_rotation(QkGate g) {
  return g == QkGate_RZ || g == QkGate_Phase || g == QkGate_U1;
}

}  // namespace vornak::bridge

#endif
