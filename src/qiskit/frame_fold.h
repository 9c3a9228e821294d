#ifndef VORNAK_QISKIT_FRAME_FOLD_H
#define VORNAK_QISKIT_FRAME_FOLD_H

#include "qiskit/capi.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "dd/plan.h"
#include "qiskit/options.h"
#include "qiskit/reader.h"
#include "qiskit/source.h"

namespace vornak::bridge {

inline constexpr std::uint32_t kNoFold = std::numeric_limits<std::uint32_t>::max();

// Where the frame change that closes a run can go into the circuit's own rz: for each run of
// `plan`, the position in reading.order of the operation written next on the run's qubit
// where that is an rz of a real angle (not a parameter) and the run leaves the frame turned;
// kNoFold elsewhere. The writer then writes one rz of the summed angle at that operation's
// start instead of two: RZ(θ)·RZ(φ) = RZ(θ + φ) exactly, global phase included, and a frame
// change commutes with the idle time between (a virtual Z, as every rz of the output).
// Where the sequence's pulses are not all standard gates (`in` then lacks their frames), every
// run followed by such an rz has its position, whether or not it leaves the frame turned.
// `frames` turn the runs as the writer turns them (see run_frames(); empty: none).
std::vector<std::uint32_t> frame_folds(const Source& source, const Reading& reading,
                                       const DdPlan& plan, const Inputs& in,
                                       const std::vector<double>& frames = {});

// The angle `frames` turns run `r` by: 0 where there are none.
inline double run_turn(const std::vector<double>& frames, std::size_t r) {
  return frames.empty() ? 0.0 : frames[r];
}

// The frame a run of `count` pulses, turned by `turn`, leaves: the phase of its last pulse.
inline double closing_frame(const Inputs& in, std::uint32_t count, double turn = 0.0) {
  return count == 0 ? 0.0 : in.pulses[(count - 1) % in.cycle].frame + turn;
}

}  // namespace vornak::bridge

#endif
