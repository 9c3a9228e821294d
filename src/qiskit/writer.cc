#include "qiskit/writer.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <utility>

#include "qiskit/circuit_copies.h"
#include "qiskit/frame_fold.h"
#include "qiskit/python_values.h"

namespace vornak::bridge {

Writer::Writer(const Source& source, const Reading& reading, const DdPlan& plan, const Inputs& in,
               std::vector<double> frames)
    : source_(source), reading_(reading), plan_(plan), in_(in), nq_(source.num_qubits()),
      data_(source.empty_like()),
      frames_(std::move(frames)), cursor_(nq_, 0.0),
      folds_(frame_folds(source, reading, plan, in, frames_)), fold_(nq_, 0.0) {
  placed_.assign(source.num_labelled(), -1);
  const std::size_t room = capacity();
  py::Ref done = py::Ref::steal(
      check(PyObject_CallMethod(data_.get(), "reserve", "n", static_cast<Py_ssize_t>(room))));
  circuit_ = borrow_circuit(data_.get());
  starts_.reserve(room);
}

// At most: every operation, pulse and frame change, and a delay before each of them on each
// of its qubits and at the end of each qubit.
std::size_t Writer::capacity() const {
  std::size_t frames = 0;
  for (std::size_t r = 0; r < plan_.runs.size(); ++r) {
    const DdRun& run = plan_.runs[r];
    const double turn = run_turn(frames_, r);
    double frame = 0.0;
    for (std::uint32_t k = 0; k < run.count; ++k) {
      const double phase = in_.pulses[k % in_.cycle].frame + turn;
      frames += phase != frame;
      frame = phase;
    }
    frames += frame != 0.0;
  }
  const std::size_t pulses = plan_.starts.size();
  return reading_.order.size() + reading_.core.nodes().all_qubits().size() + 2 * (pulses + frames) + nq_;
}

PyObject* Writer::to_python() { return circuit_of_data(data_.get()).release(); }

double Writer::write() {
  std::span<const ScheduleEntry> schedule = reading_.core.schedule();
  auto run = plan_.runs.begin();
  double length = 0.0;
  for (std::size_t i = 0; i < reading_.order.size(); ++i) {
    const ScheduleEntry entry = schedule[i];
    length = std::max(length, entry.end_time);
    for (; run != plan_.runs.end() && run->before == i; ++run) {
      const std::size_t r = static_cast<std::size_t>(run - plan_.runs.begin());
      write_run(*run, folds_[r], run_turn(frames_, r));
    }
    if (reading_.flags[i] & kDdNodeIdle) continue;
    const std::uint32_t node = reading_.order[i];
    QkCircuitInstructionView view;
    source_.view(node, &view);
    for (std::uint32_t k = 0; k < view.num_qubits; ++k) idle_until(view.qubits[k], entry.start_time);
    if (const std::int64_t slot = source_.label_slot(node); slot >= 0) {
      placed_[static_cast<std::size_t>(slot)] = static_cast<std::int64_t>(starts_.size());
    }
    starts_.push_back(entry.start_time);
    write_operation(node, view);
    for (std::uint32_t k = 0; k < view.num_qubits; ++k) cursor_[view.qubits[k]] = entry.end_time;
  }
  // Trailing runs (before == the node count): after each qubit's last operation.
  for (; run != plan_.runs.end(); ++run) {
    write_run(*run, kNoFold, run_turn(frames_, static_cast<std::size_t>(run - plan_.runs.begin())));
  }
  for (std::uint32_t q = 0; q < nq_; ++q) idle_until(q, length);
  return length;
}

void Writer::idle_until(std::uint32_t q, double t) {
  double gap = t - cursor_[q];
  if (gap > 0) {
    starts_.push_back(cursor_[q]);
    if (in_.options.unit_dt) {
      check_exit(qk_circuit_delay_dt(circuit_, q, static_cast<std::int64_t>(std::llround(gap))),
                 "add a delay");
    } else {
      check_exit(qk_circuit_delay(circuit_, q, gap, QkDelayUnit_NS), "add a delay");
    }
  }
  cursor_[q] = t;
}

// Writes `run`, whose pulses start at plan_.starts[next_start_ ..]; its k-th pulse is pulse
// k % cycle of the sequence, as a run may hold several blocks of it. A pulse of phase φ is
// rz(-φ), the gate, rz(φ); between two pulses the frame changes merge into one, rz(φ - φ'),
// before the next pulse (write_frame_before), and none is written where two pulses share their phase. The
// last pulse's rz(φ) comes at its end, moved onto the pulse alignment's grid, or where `fold`
// is an operation's position (see frame_folds), goes into that rz, written next on the qubit.
// Every phase is turned by `turn`.
void Writer::write_run(const DdRun& run, std::uint32_t fold, double turn) {
  const std::uint32_t q = static_cast<std::uint32_t>(run.qubit);
  const std::size_t cycle = in_.cycle;
  double frame = 0.0;  // the phase of the frame the pulses so far left
  for (std::uint32_t k = 0, j = 0; k < run.count; ++k, j = j + 1 == cycle ? 0 : j + 1) {
    const double start = plan_.starts[next_start_++];
    const Pulse& pulse = in_.pulses[j];
    const double phase = pulse.frame + turn;
    if (phase != frame) write_frame_before(q, frame - phase, start);
    idle_until(q, start);
    frame = phase;
    starts_.push_back(start);
    check_exit(qk_circuit_gate(circuit_, pulse.gate, &q, pulse.params.data()),
               "add a pulse");
    cursor_[q] = start + in_.pulse_durations[q * cycle + j];
  }
  if (frame != 0.0 && fold != kNoFold) {
    fold_[q] = frame;
  } else if (frame != 0.0) {
    // On the grid, as every gate: the next operation or pulse starts there or later.
    const double a = in_.options.alignment;
    idle_until(q, a > 0.0 ? std::ceil(cursor_[q] / a - 1e-9) * a : cursor_[q]);
    write_frame(q, frame, cursor_[q]);
  }
}

// A frame change before the pulse at `start`. In dt, where the free time before it holds a
// point of the alignment's grid strictly inside, it goes at the one nearest the middle, so
// that delays part it from the operations on both sides; else at `start`. A later pass
// that resynthesises runs of single-qubit gates (a delay ends a run) then finds the pulse
// alone: rz(-φ)·x·rz(φ) is x up to a phase as a unitary, but not the same pulse under an
// over-rotation, and merged into one run it would be written back as the plain x.
void Writer::write_frame_before(std::uint32_t q, double angle, double start) {
  double at = start;
  if (in_.options.unit_dt) {
    const double grid = in_.options.alignment > 0.0 ? in_.options.alignment : 1.0;
    const double first = (std::floor(cursor_[q] / grid + 1e-9) + 1.0) * grid;
    const double last = (std::ceil(start / grid - 1e-9) - 1.0) * grid;
    if (first <= last) {
      at = std::clamp(std::floor((cursor_[q] + start) / (2.0 * grid) + 0.5) * grid, first, last);
      idle_until(q, at);
    }
  }
  write_frame(q, angle, at);
}

void Writer::write_frame(std::uint32_t q, double angle, double at) {
  starts_.push_back(at);
  check_exit(qk_circuit_gate(circuit_, QkGate_RZ, &q, &angle), "add a frame change");
}

void Writer::write_operation(std::uint32_t node, const QkCircuitInstructionView& view) {
  const QkOperationKind kind = source_.kind(node);
  QkGate gate = QkGate_GlobalPhase;  // read for gates only
  if (kind == QkOperationKind_Gate) {
    gate = source_.gate(node, view);
    if (gate == QkGate_RZ && fold_[view.qubits[0]] != 0.0) {
      const std::uint32_t q = view.qubits[0];
      double angle = qk_param_as_real(view.params) + fold_[q];
      fold_[q] = 0.0;
      check_exit(qk_circuit_gate(circuit_, QkGate_RZ, &q, &angle), "add a frame change");
      return;
    }
  } else if (kind == QkOperationKind_Unitary) {
    source_.unitary(node, append_.matrix(view.num_qubits));
  }
  append_.append(circuit_, kind, view, view.qubits, gate);
}

}  // namespace vornak::bridge
