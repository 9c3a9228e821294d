#ifndef VORNAK_QISKIT_DURATION_TABLE_H
#define VORNAK_QISKIT_DURATION_TABLE_H

#include "qiskit/capi.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vornak::bridge {

// The largest time in dt up to which a double holds every whole number (2**53): times and
// lengths beyond it are not exact.
inline constexpr double kMaxExactDt = 0x1p53;

// Operation durations by name and qubits; an entry with no qubits holds for any qubits.
// Names are numbered once; an entry on at most two qubits is found by one integer key, so a
// lookup per instruction builds no string.
class DurationTable {
 public:
  // `table`: dict of name to dict of qubit tuple to duration.
  explicit DurationTable(PyObject* table);

  // The duration of `name` on `qubits`, else its duration on any qubits, else null.
  const double* find(std::string_view name, const std::uint32_t* qubits, std::uint32_t count) const;
  // The same for an operation named as the standard gate `gate` (below kStandardGates),
  // found by the gate's number instead of by its name.
  const double* find(QkGate gate, const std::uint32_t* qubits, std::uint32_t count) const;

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };

  std::uint32_t name_id(std::string_view name);
  // The duration of name `id` on `qubits`, else on any qubits, else null.
  const double* find_id(std::uint32_t id, const std::uint32_t* qubits, std::uint32_t count) const;
  const double* lookup(std::uint32_t id, const std::uint32_t* qubits, std::uint32_t count) const;

  std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> ids_;
  std::vector<std::uint32_t> gate_ids_;  // by standard gate: its name's id, or kNoId
  std::unordered_map<std::uint64_t, double> packed_;
  std::unordered_map<std::string, double> wide_;
};

}  // namespace vornak::bridge

#endif
