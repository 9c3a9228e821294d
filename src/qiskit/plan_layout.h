#ifndef VORNAK_QISKIT_PLAN_LAYOUT_H
#define VORNAK_QISKIT_PLAN_LAYOUT_H

#include "qiskit/capi.h"

#include "graph/dd_plan.h"
#include "qiskit/reader.h"

namespace vornak::bridge {

// The plan as Python objects, for writers outside this module: (order, starts, ends, runs),
// with runs a list of (position, qubit, (pulse start, ...)); a run at position len(order)
// follows the qubit's last operation. A new reference.
PyObject* plan_to_python(const Reading& reading, const DdPlan& plan);

}  // namespace vornak::bridge

#endif
