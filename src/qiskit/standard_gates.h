#ifndef VORNAK_QISKIT_STANDARD_GATES_H
#define VORNAK_QISKIT_STANDARD_GATES_H

#include "qiskit/capi.h"

#include <string>
#include <vector>

namespace vornak::bridge {

// The name Qiskit gives each standard gate, by gate number (empty for a gate that cannot be
// written into a scratch circuit).
const std::vector<std::string>& standard_gate_names();

}  // namespace vornak::bridge

#endif
