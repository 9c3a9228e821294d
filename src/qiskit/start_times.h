#ifndef VORNAK_QISKIT_START_TIMES_H
#define VORNAK_QISKIT_START_TIMES_H

#include "qiskit/capi.h"

#include <vector>

#include "qiskit/duration_table.h"

namespace vornak::bridge {

// The list of start times, None for negative entries, whole numbers up to 2**53 (where
// doubles hold every whole number) as ints. A new reference.
PyObject* start_list(const std::vector<double>& start);

// The start time of every operation of a padded DAG, as a list in the order of the
// operations' node indices (that of the DAG's op_nodes()), from `written`, the start of each instruction in the order
// the DAG's circuit was written, where the DAG numbers its operations in that order. Every
// qubit of a padded DAG is busy from 0 to its end, so an operation starts when the last of
// its qubits became free. A new reference.
PyObject* start_times(QkDag* dag, const std::vector<double>& written, const DurationTable& table);

}  // namespace vornak::bridge

#endif
