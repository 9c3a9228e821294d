#ifndef VORNAK_QISKIT_WRITER_H
#define VORNAK_QISKIT_WRITER_H

#include "qiskit/capi.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "graph/dd_plan.h"
#include "qiskit/options.h"
#include "qiskit/reader.h"
#include "qiskit/source.h"

namespace vornak::bridge {

// Writes `reading`'s operations with the planned pulses into a new circuit of the same
// width, every idle stretch of a qubit filled with a delay.
class Writer {
 public:
  // `frames`: for each run of `plan`, the angle its pulses are turned by (see run_frames());
  // empty for none.
  Writer(const Source& source, const Reading& reading, const DdPlan& plan, const Inputs& in,
         std::vector<double> frames = {});

  // Writes the circuit; returns its length.
  double write();
  QkCircuit* circuit() { return circuit_.get(); }
  QkCircuit* release() { return circuit_.release(); }
  // The start time of every instruction written, in the order written.
  const std::vector<double>& starts() const { return starts_; }

 private:
  void idle_until(std::uint32_t q, double t);
  void write_run(const DdRun& run, double turn);
  void write_frame(std::uint32_t q, double angle, double at);
  void write_operation(std::uint32_t node, const QkCircuitInstructionView& view);

  const Source& source_;
  const Reading& reading_;
  const DdPlan& plan_;
  const Inputs& in_;
  std::uint32_t nq_;
  CircuitPtr circuit_;
  std::vector<double> starts_;
  std::size_t next_start_ = 0;  // in plan_.starts, of the next run's first pulse
  std::vector<double> frames_;
  std::vector<double> cursor_;  // by qubit: the time up to which it is written
  std::vector<const QkParam*> params_;
  std::vector<QkComplex64> matrix_;
};

}  // namespace vornak::bridge

#endif
