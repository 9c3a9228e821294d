#ifndef VORNAK_QISKIT_WRITER_H
#define VORNAK_QISKIT_WRITER_H

#include "qiskit/capi.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dd/plan.h"
#include "lib/pyref.h"
#include "qiskit/append_instruction.h"
#include "qiskit/options.h"
#include "qiskit/reader.h"
#include "qiskit/source.h"

namespace vornak::bridge {

// Writes `reading`'s operations with the planned pulses into a new circuit of the same
// width, every idle stretch of a qubit filled with a delay.
//
// The circuit is Python circuit data from the start, made with room for every instruction
// the plan can write: grown one instruction at a time, Qiskit would copy it into fresh
// memory at every doubling, which took a sixth of pad's time on QFT-50.
class Writer {
 public:
  // `frames`: for each run of `plan`, the angle its pulses are turned by (see run_frames());
  // empty for none.
  Writer(const Source& source, const Reading& reading, const DdPlan& plan, const Inputs& in,
         std::vector<double> frames = {});

  // Writes the circuit; returns its length.
  double write();
  // The circuit, borrowed from the circuit data, which outlives it while the writer lives.
  QkCircuit* circuit() { return circuit_; }
  // The CircuitData written into, borrowed.
  PyObject* data() const { return data_.get(); }
  // The QuantumCircuit of the circuit data (see circuit_of_data). A new reference.
  PyObject* to_python();
  // The start time of every instruction written, in the order written.
  const std::vector<double>& starts() const { return starts_; }
  // For each labelled instruction of the source (see Source::set_labelled), in the order
  // given there, its index in the written circuit; -1 for a delay, which is not written.
  const std::vector<std::int64_t>& placed() const { return placed_; }

 private:
  std::size_t capacity() const;
  void idle_until(std::uint32_t q, double t);
  void write_run(const DdRun& run, std::uint32_t fold, double turn);
  void write_frame(std::uint32_t q, double angle, double at);
  void write_frame_before(std::uint32_t q, double angle, double start);
  void write_operation(std::uint32_t node, const QkCircuitInstructionView& view);

  const Source& source_;
  const Reading& reading_;
  const DdPlan& plan_;
  const Inputs& in_;
  std::uint32_t nq_;
  py::Ref data_;         // the circuit data written into
  QkCircuit* circuit_;   // borrowed from data_
  std::vector<double> starts_;
  std::vector<std::int64_t> placed_;
  std::size_t next_start_ = 0;  // in plan_.starts, of the next run's first pulse
  std::vector<double> frames_;  // by run: its turn, or empty
  std::vector<double> cursor_;  // by qubit: the time up to which it is written
  std::vector<std::uint32_t> folds_;  // by run: see frame_folds
  std::vector<double> fold_;  // by qubit: the frame change its next operation, an rz, takes in
  InstructionAppender append_;
};

}  // namespace vornak::bridge

#endif
