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

}  // namespace vornak::bridge

#endif
