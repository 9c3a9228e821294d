#ifndef VORNAK_QISKIT_PLAN_LAYOUT_H
#define VORNAK_QISKIT_PLAN_LAYOUT_H

#include "qiskit/capi.h"

#include <cstdint>
#include <vector>

#include "dd/plan.h"
#include "qiskit/reader.h"

namespace vornak::bridge {

// The plan as Python objects, for writers outside this module: (order, starts, ends, runs),
// with runs a list of (position, qubit, (pulse start, ...), fold, frame); a run at position
// len(order) follows the qubit's last operation; fold is the position of the rz that takes in
// the run's closing frame change, or None (`folds`, one per run: see frame_folds); frame is
// the angle the run's pulses are turned by (`frames`: see run_frames(); empty: 0). A new
// reference.
PyObject* plan_to_python(const Reading& reading, const DdPlan& plan,
                         const std::vector<std::uint32_t>& folds,
                         const std::vector<double>& frames = {});

}  // namespace vornak::bridge

#endif
