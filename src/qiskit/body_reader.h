#ifndef VORNAK_QISKIT_BODY_READER_H
#define VORNAK_QISKIT_BODY_READER_H

#include "qiskit/capi.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "dd/block_cut.h"
#include "qiskit/instruction_copy.h"

namespace vornak::bridge {

// Thrown where a circuit holds what the C API cannot read or write without Python (an
// operation or parameter held as a Python object, a delay): the caller pads it in Python.
struct NotNative {};

// An instruction's name.
inline std::string_view name_of(const QkCircuitInstructionView& view) {
  return {view.name, view.name_len};
}

// The instructions of `body` that end a block: control flow, and instructions without qubits
// (classical stores), in the circuit's order.
std::vector<std::uint32_t> boundaries_of(const QkCircuit* body);

// `body` read through the C API and cut into timed blocks, as vornak.qiskit.control_flow's
// levels() cuts it. Wires are its qubits (0 .. nq - 1), its clbits (nq + clbit) and its
// classical variables (numbered after the clbits, by name); `classical[j]` holds the wires,
// beyond the qubits and clbits the C API lists, of `boundaries[j]` (boundaries_of(body)),
// numbered from nq: the clbits and variables a condition, a switch's target or a store
// reads or writes, and those a control-flow operation's bodies use. Throws NotNative where
// a block holds an instruction that `copier` cannot copy, or a delay that delay_length()
// does not read.
std::vector<CutLevel> cut_body(const QkCircuit* body, const std::vector<std::uint32_t>& boundaries,
                               const std::vector<std::vector<std::uint32_t>>& classical,
                               const InstructionCopier& copier);

// The length of the delay at `index` of `circuit` where it is given in dt as a whole number
// of at most 2**53; else NotNative (the Python padder reads the other units, and raises on
// lengths the schedule cannot hold).
double delay_length(const QkCircuit* circuit, std::size_t index);

// By physical qubit (of `num_qubits`, the body's qubit q on physical[q]): the last level of
// `levels` in which it has an operation, infinity where that operation is not a readout
// (its state still matters after it), -1 where it has none.
std::vector<double> last_levels(const QkCircuit* body, const std::vector<CutLevel>& levels,
                                const std::vector<std::uint32_t>& physical,
                                std::uint32_t num_qubits);

}  // namespace vornak::bridge

#endif
