"""Dynamic circuits: circuits with control flow, padded block by block.

`pad_dynamic` pads a circuit under the block model (`blocks`): natively where Qiskit's C API
carries the circuit and its bodies (`native`), else in Python (`reference`), with the same
result. Each timed block and body is padded as a static circuit by the same
:class:`~vornak.qiskit.padding.Padding` as static circuits are.
"""

from __future__ import annotations

import dataclasses

from qiskit.circuit import QuantumCircuit
from qiskit.converters import circuit_to_dag, dag_to_circuit
from qiskit.dagcircuit import DAGCircuit

from vornak.qiskit.dynamic.calibrated import calibrated_choice
from vornak.qiskit.dynamic.native import pad_native
from vornak.qiskit.dynamic.reference import DynamicPadder
from vornak.qiskit.dynamic.stretch import Counts, StretchSequences
from vornak.qiskit.padding import Padding
from vornak.qiskit.start_times import record_start_times

__all__ = ["PaddedDynamic", "pad_dynamic", "pad_dynamic_dag", "pad_in_python"]


@dataclasses.dataclass
class PaddedDynamic:
    """A padded dynamic circuit (or its DAG) and its counts. The start times (the circuit's
    ``op_start_times``) are each instruction's start within its block; the operations
    between blocks, and the stretch sequences beside them, start at 0 of their own
    timeline, which the device fixes at run time. `native`: whether the bridge padded it
    (else the Python reference did)."""

    out: QuantumCircuit | DAGCircuit
    times: list
    counts: Counts
    native: bool = False

    def record(self, property_set, unit_dt: bool) -> None:
        """What the pass records of a padded DAG in its property set."""
        property_set["time_unit"] = "dt" if unit_dt else "ns"
        record_start_times(property_set, self.out, self.times, unit_dt)
        property_set["dd_sequences_inserted"] = self.counts.inserted
        property_set["dd_sequences_dropped"] = self.counts.dropped
        property_set["dd_stretch_sequences_inserted"] = self.counts.stretches


def pad_dynamic(padding: Padding, circuit: QuantumCircuit) -> PaddedDynamic:
    """`circuit` padded under the block model: natively where the C API carries it, else in
    Python."""
    return _pad(padding, circuit, native=True)


def pad_in_python(padding: Padding, circuit: QuantumCircuit) -> PaddedDynamic:
    """`circuit` padded by the Python reference alone, which `pad_dynamic` must equal."""
    return _pad(padding, circuit, native=False)


def pad_dynamic_dag(padding: Padding, dag: DAGCircuit) -> PaddedDynamic:
    """The DAG of a dynamic circuit padded: the padded DAG, with its start times by node."""
    circuit = dag_to_circuit(dag, copy_operations=False)
    padded = pad_dynamic(padding, circuit)
    out = circuit_to_dag(padded.out, copy_operations=False)
    return PaddedDynamic(out, padded.times, padded.counts, padded.native)


def _pad(padding: Padding, circuit: QuantumCircuit, native: bool) -> PaddedDynamic:
    """`circuit` padded, natively first where `native`, and finished as the pass's output:
    its name, metadata, start times and unit, and no length (the time between blocks is not
    known at compile time)."""
    options = padding.options
    num_qubits = circuit.num_qubits
    plan = padding.plans.for_width(num_qubits)
    choice = calibrated_choice(options, plan, num_qubits)
    stretches = StretchSequences(list(options.written), plan.block, plan.phase, plan.colouring,
                                 Counts(), rz=options.frames_allowed, choice=choice)
    found = pad_native(options, plan, circuit, stretches) if native else None
    if found is not None:
        out, times = found
    else:
        out, times = DynamicPadder.of(padding, plan, stretches).pad(circuit)
    unit_dt = options.unit_dt
    out.name = circuit.name
    out.metadata = circuit.metadata
    out._op_start_times = times if unit_dt else [float(t) for t in times]
    out._unit = "dt" if unit_dt else "ns"
    out._duration = None
    return PaddedDynamic(out, out._op_start_times, stretches.counts, found is not None)
