"""Padding static circuits: the room the pass, ``pad()`` and dynamic circuits share.

A :class:`Padding` holds a pass's :class:`~vornak.qiskit.options.Options` and the
:class:`~vornak.qiskit.width_plan.WidthPlans` made of them, once per circuit width. With the
plan of a circuit's width, it pads a static circuit (one without control flow) or its DAG
natively where Qiskit's C API carries everything, and through the Python writer where it
does not, with the same result.
"""

from __future__ import annotations

from qiskit.circuit import QuantumCircuit
from qiskit.converters import circuit_to_dag, dag_to_circuit
from qiskit.dagcircuit import DAGCircuit
from qiskit.passmanager import PropertySet
from qiskit.transpiler.exceptions import TranspilerError

from vornak import _bridge
from vornak.qiskit.classical import store_wires
from vornak.qiskit.durations import circuit_delays, dag_delays, surely_exact
from vornak.qiskit.options import Options
from vornak.qiskit.width_plan import WidthPlan, WidthPlans
from vornak.qiskit.writer import (
    Padded, has_labels, labelled_positions, written_circuit, written_dag,
)

CONTROL_FLOW = "A circuit with control flow is padded block by block, not as one static circuit."


class Padding:
    """The padding of circuits with one set of options; its plans are made once per width
    (`plans`), and it may be shared by threads."""

    def __init__(self, options: Options):
        self.options = options
        self.plans = WidthPlans(options)

    def pad_dag(self, dag: DAGCircuit, plan: WidthPlan | None = None) -> Padded:
        """The static `dag` padded (with `plan`, by default the one of its width): a new
        DAG, its start times by node."""
        return self._pad_dag(dag, plan or self.plans.for_width(dag.num_qubits()))

    def pad_circuit(self, circuit: QuantumCircuit, plan: WidthPlan | None = None) -> Padded:
        """The static `circuit` padded (with `plan`, by default the one of its width), as
        ``PassManager.run`` returns it from the pass, with ``op_start_times`` set (none for
        a circuit of no instructions, as there), but read, planned and written natively
        where Qiskit's C API carries it, and through the pass's DAG where it does not."""
        data = circuit._data
        if data.has_control_flow_op():
            raise TranspilerError(CONTROL_FLOW)
        options = self.options
        plan = plan or self.plans.for_width(circuit.num_qubits)
        delays = circuit_delays(circuit, options.dt, options.unit_dt)
        # One that may end beyond 2**53 dt goes through the DAG, whose length is checked
        # first (see `_pad_dag`).
        if surely_exact(len(data), plan.step, delays, options.unit_dt):
            # Labels are put back after the native writer, which writes none.
            labelled = labelled_positions(data)
            try:
                result = _bridge.pad_circuit_data(data, True, delays, options, plan, None,
                                                  labelled or None)
            except (LookupError, NotImplementedError) as error:
                raise TranspilerError(str(error)) from error
            # None: Python-object parameters or operations, or data in use elsewhere; not
            # written: operations or pulses the C API cannot write.
            if result is not None and result[0]:
                return written_circuit(circuit, result, labelled, options, plan)
        return self._pad_through_dag(circuit, plan)

    def _pad_dag(self, dag: DAGCircuit, plan: WidthPlan) -> Padded:
        options = self.options
        # Qiskit's C API carries no labels: a circuit that has one is written in Python, as
        # is one in ns, written on Qiskit's clock, and one that may end beyond 2**53 dt,
        # whose length is checked first.
        delays = dag_delays(dag, options.dt, options.unit_dt)
        exact = surely_exact(dag.size(recurse=False), plan.step, delays, options.unit_dt)
        # The clbits and variables a store writes and reads, which the C API does not tell.
        stores = store_wires(dag)
        write = exact and not has_labels(dag.op_nodes())
        try:
            result = _bridge.pad(dag, write, delays, options, plan, stores)
        except (LookupError, NotImplementedError) as error:
            raise TranspilerError(str(error)) from error
        return written_dag(dag, result, options, plan)

    def _pad_through_dag(self, circuit: QuantumCircuit, plan: WidthPlan) -> Padded:
        """`circuit` padded on its DAG, and made back into a circuit as ``PassManager.run``
        makes it."""
        padded = self._pad_dag(circuit_to_dag(circuit, copy_operations=True), plan)
        out = dag_to_circuit(padded.out, copy_operations=False)
        recorded = PropertySet()
        padded.record(recorded, self.options.unit_dt)
        start_times = recorded["node_start_time"]
        times = []
        if start_times:
            times = [start_times[node] for node in padded.out.topological_op_nodes()]
            out._op_start_times = times
        return Padded(out, times, padded.inserted, padded.dropped, padded.native)
