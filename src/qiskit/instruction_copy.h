#ifndef VORNAK_QISKIT_INSTRUCTION_COPY_H
#define VORNAK_QISKIT_INSTRUCTION_COPY_H

#include "qiskit/capi.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "qiskit/append_instruction.h"

namespace vornak::bridge {

// A qubit that a map sends nowhere.
constexpr std::uint32_t kNoQubit = std::numeric_limits<std::uint32_t>::max();

// Copies instructions from one circuit into another through the C API, their qubits mapped
// and their clbits kept: standard gates, measurements, resets, barriers, unitaries and delays
// of a fixed duration.
class InstructionCopier {
 public:
  // Whether instruction `index` of `from` can be copied: its kind is one of the above, and a
  // gate is the standard gate its name says, with parameters the C API holds without Python.
  bool copyable(const QkCircuit* from, std::size_t index) const;
  // Appends instruction `index` of `from` to `to`, qubit q on `qubits[q]`; appends nothing
  // where a qubit maps to kNoQubit, and returns whether it appended. `from` must be copyable
  // there.
  bool copy(const QkCircuit* from, std::size_t index, QkCircuit* to,
            const std::vector<std::uint32_t>& qubits);

 private:
  std::vector<std::uint32_t> mapped_;
  InstructionAppender append_;
};

}  // namespace vornak::bridge

#endif
