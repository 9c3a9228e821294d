#ifndef VORNAK_DD_FRAME_FLAGS_H
#define VORNAK_DD_FRAME_FLAGS_H

#include <cstdint>
#include <string_view>

namespace vornak {

// Which qubits' Z frames the standard gate named `name` (Qiskit's names: "rz", "cx", "ecr",
// ...) leaves in place (kDdNodeKeepsFrame, kDdNodeKeepsFirstFrame) or only flips
// (kDdNodeFlipsFrame, kDdNodeFlipsFirstFrame), or 0 (sx, h, swap, any other name). A gate
// that commutes with Z on a qubit does not turn that qubit's frame: the diagonal gates on all
// their qubits, and controlled gates (and RZX, whose Z acts on its first qubit) on their
// first qubit, the control. Gates with more controls keep the others' frames too; only the
// first is told, which leaves cuts that need not be. X and Y anticommute with Z: they flip
// the frame; ECR's echo flips its first qubit's and turns the second's.
std::uint8_t frame_flags(std::string_view name);

}  // namespace vornak

#endif
