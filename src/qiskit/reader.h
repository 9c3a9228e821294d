#ifndef VORNAK_QISKIT_READER_H
#define VORNAK_QISKIT_READER_H

#include "qiskit/capi.h"

#include <cstdint>
#include <vector>

#include "graph/dag.h"
#include "qiskit/duration_table.h"
#include "qiskit/options.h"
#include "qiskit/source.h"

namespace vornak::bridge {

// The input read into the core: one node per operation in an order the DAG allows, on the
// input's qubits and, after them, one wire per clbit.
struct Reading {
  std::vector<std::uint32_t> order;  // node index of each core node
  std::vector<std::uint8_t> flags;   // kDdNode* of each core node
  QuantumDAG core;
  std::vector<double> alignments;  // start grid of each core node; empty: none
  // By core node, what the choice of frames (run_frames()) takes without asking the source
  // again: the standard gate without parameters it is (kNoFixedGate for anything else), and
  // the angle of a standard z rotation (rz, p, u1; NaN for anything else). Empty where the
  // options give no residues, and so no frames to choose.
  std::vector<std::uint8_t> fixed_gate;
  std::vector<double> z_angle;
  bool writable = true;  // every operation can be written through the C API
};

inline constexpr std::uint8_t kNoFixedGate = 0xff;

// Reads `source`, each operation timed by `table`. `delays`: dict of the source's delay key
// to each delay's length. `stores`: null, or a dict, keyed as delays are, of the wires of
// each classical store (a tuple of numbers: clbit c as c, the variables after the clbits),
// which the C API does not tell; a store takes no time, on no qubit, and keeps its place
// on those wires. Raises NotImplementedError for control flow, LookupError for an operation
// or delay without a duration (a store without its wires among them).
Reading read(const Source& source, const DurationTable& table, PyObject* delays,
             const Options& options, PyObject* stores = nullptr);

}  // namespace vornak::bridge

#endif
