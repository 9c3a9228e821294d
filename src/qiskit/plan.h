#ifndef VORNAK_QISKIT_PLAN_H
#define VORNAK_QISKIT_PLAN_H

#include "qiskit/capi.h"

#include "dd/plan.h"
#include "qiskit/options.h"
#include "qiskit/reader.h"

namespace vornak::bridge {

// Schedules `reading` (as soon or as late as possible, on its start grids) and plans its
// pulses: core work, done without the interpreter lock, so that other threads run Python (or
// pad other circuits) meanwhile. It touches no Python object and calls no Qiskit function.
DdPlan schedule_and_plan(Reading& reading, const Inputs& in);

}  // namespace vornak::bridge

#endif
