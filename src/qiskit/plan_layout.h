#ifndef VORNAK_QISKIT_PLAN_LAYOUT_H
#define VORNAK_QISKIT_PLAN_LAYOUT_H

#include "qiskit/capi.h"

#include <vector>

#include "graph/dd_plan.h"
#include "qiskit/reader.h"

namespace vornak::bridge {

// The plan as Python objects, for writers outside this module: (order, starts, ends, runs),
// with runs a list of (position, qubit, (pulse start, ...), frame); a run at position
// len(order) follows the qubit's last operation; `frames` turn the runs' pulses (see
// run_frames(); empty: 0). A new reference.
PyObject* plan_to_python(const Reading& reading, const DdPlan& plan,
                         const std::vector<double>& frames = {});

}  // namespace vornak::bridge

#endif
