#ifndef VORNAK_QISKIT_PULSE_FRAMES_H
#define VORNAK_QISKIT_PULSE_FRAMES_H

#include "qiskit/capi.h"

#include <vector>

#include "dd/plan.h"
#include "qiskit/options.h"
#include "qiskit/reader.h"
#include "qiskit/source.h"

namespace vornak::bridge {

// A frame for each run of `plan` (in its order), chosen by the core's run_frames() (see
// dd/run_frames.h) over `reading` with the operations' matrices read from `source` as it
// asks for them, and the residues of `in.options`. Empty where `in.options.residues` is (no
// frames to choose).
std::vector<double> run_frames(const Source& source, const Reading& reading, const DdPlan& plan,
                               const Inputs& in);

}  // namespace vornak::bridge

#endif
