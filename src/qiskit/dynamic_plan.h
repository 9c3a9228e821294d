#ifndef VORNAK_QISKIT_DYNAMIC_PLAN_H
#define VORNAK_QISKIT_DYNAMIC_PLAN_H

#include "qiskit/capi.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/pyref.h"
#include "qiskit/body_reader.h"
#include "qiskit/duration_table.h"
#include "qiskit/instruction_copy.h"
#include "qiskit/options.h"

namespace vornak::bridge {

// Pads a circuit with control flow under the block model (see vornak.qiskit.control_flow),
// reading it and, through the C API, every body of its control-flow operations: each body is
// cut into timed blocks, each block planned and written as a static circuit of the device's
// width on the physical qubits the body maps to, and written back onto the body's qubits.
// What the C API cannot build (control-flow operations, stretch delays) is left to the caller
// in Python, told where it goes.
//
// The result of a body is a tuple (out, levels, physical): `out` a QuantumCircuit like the body,
// without operations, holding the instructions of its blocks up to its first boundary;
// `levels` a list, per level of the cut, of (segment, inserted, starts, boundary, around):
// - segment: None, or a QuantumCircuit with the body's bits holding the level's block
//   (where out already holds the blocks before a boundary);
// - inserted: None where the level has no block, else the sequences inserted in it;
// - starts: at the top level, the start time of each instruction of the block, else None;
// - boundary: a list of (instruction index, None or a tuple of the results of its bodies);
// - around: the physical qubits idle around the boundary that take stretch sequences;
// and `physical` the physical qubit of each of the body's qubits.
class DynamicPlanner {
 public:
  // `stretch`: whether the idle qubits around control flow take stretch sequences.
  // `describe(body, indices)` tells of each body (a QuantumCircuit) what the C API does not:
  // None where it cannot be padded natively (labels), else for each of the instructions at
  // `indices` (those that end a block) the clbits and classical variables it reads or
  // writes beyond the clbits it lists, as numbers (clbit c as c, the body's variables after
  // its clbits, by name). A block of n operations is padded natively where
  // n * `step` (the longest an operation can take, alignment included) is at most `max_time`.
  DynamicPlanner(const DurationTable& table, const Inputs& in, bool stretch, PyObject* describe,
                 double step, double max_time);

  // The result of `circuit` (the device's qubits), `python` its QuantumCircuit. Throws
  // NotNative.
  PyObject* plan(const QkCircuit* circuit, PyObject* python);
  std::size_t inserted() const { return inserted_; }
  std::size_t dropped() const { return dropped_; }

 private:
  PyObject* body(const QkCircuit* body, PyObject* python,
                 const std::vector<std::uint32_t>& physical, std::vector<char>& active, bool top);
  // The results of the bodies of instruction `index` of `body` (`data` its Python
  // CircuitData), None for an instruction without bodies; `active` becomes what holds after
  // it.
  PyObject* control_flow(const QkCircuit* body, PyObject* data, std::size_t index,
                         const std::vector<std::uint32_t>& physical, std::vector<char>& active);
  // Plans and writes block `block` of `body` into `into`: returns its sequences; at the top
  // level, adds the start of every instruction written to `starts`.
  std::size_t block(const QkCircuit* body, const std::vector<std::uint32_t>& indices,
                    const std::vector<std::uint32_t>& physical,
                    const std::vector<std::uint32_t>& marked, QkCircuit* into,
                    std::vector<double>* starts);

  const DurationTable& table_;
  const Inputs& in_;
  bool stretch_;
  PyObject* describe_;  // borrowed for the planner's life
  double step_;
  double max_time_;
  py::Ref no_delays_;
  InstructionCopier copier_;
  std::size_t inserted_ = 0;
  std::size_t dropped_ = 0;
};

}  // namespace vornak::bridge

#endif
