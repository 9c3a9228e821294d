"""Padding static circuits: the room the pass, ``pad()`` and dynamic circuits share.

A :class:`Padding` holds a pass's :class:`~vornak.qiskit.options.Options` and makes, once per
circuit width, a :class:`~vornak.qiskit.width_plan.WidthPlan`. With it, it pads a static
circuit (one without control flow) or its DAG natively where Qiskit's C API carries
everything, and through the Python writer where it does not, with the same result.
"""

from __future__ import annotations

import dataclasses
import threading

from qiskit.circuit import QuantumCircuit
from qiskit.converters import circuit_to_dag, dag_to_circuit
from qiskit.dagcircuit import DAGCircuit
from qiskit.passmanager import PropertySet
from qiskit.transpiler.exceptions import TranspilerError

from vornak import _bridge
from vornak.qiskit.classical import store_wires
from vornak.qiskit.durations import circuit_delays, dag_delays, surely_exact
from vornak.qiskit.options import Options
from vornak.qiskit.width_plan import WidthPlan, make_plan
from vornak.qiskit.writer import (
    Padded, has_labels, labelled_positions, written_circuit, written_dag,
)

CONTROL_FLOW = "A circuit with control flow is padded block by block, not as one static circuit."


class Padding:
    """The padding of circuits with one set of options; its plans are made once per width,
    and it may be shared by threads."""

    def __init__(self, options: Options):
        self.options = options
        self._plans: dict[int, WidthPlan] = {}
        self._spare_plans: dict[int, WidthPlan] = {}
        self._lock = threading.Lock()

    def __getstate__(self):
        # Passes travel to worker processes (Qiskit's parallel transpile): the lock stays.
        return {"options": self.options, "plans": dict(self._plans),
                "spare_plans": dict(self._spare_plans)}

    def __setstate__(self, state):
        self.options = state["options"]
        self._plans = state["plans"]
        self._spare_plans = state["spare_plans"]
        self._lock = threading.Lock()

    def plan(self, num_qubits: int, spare: bool = False) -> WidthPlan:
        """The plan for circuits of `num_qubits` qubits; a ``TranspilerError`` where an
        option does not fit that width. With `spare`, the plan for circuits one qubit wider,
        whose last qubit takes no pulses: it holds the length a box of fixed duration must
        last."""
        plans = self._spare_plans if spare else self._plans
        found = plans.get(num_qubits)
        if found is None:
            with self._lock:
                base = self._plans.get(num_qubits)
                if base is None:
                    base = self._plans[num_qubits] = make_plan(self.options, num_qubits)
                if spare:
                    base = dataclasses.replace(base, pulse_durations=base.pulse_durations + [None])
                found = plans.setdefault(num_qubits, base)
        return found

    def pad_dag(self, dag: DAGCircuit, plan: WidthPlan | None = None) -> Padded:
        """The static `dag` padded (with `plan`, by default the one of its width): a new
        DAG, its start times by node."""
        options = self.options
        plan = plan or self.plan(dag.num_qubits())
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

    def pad_circuit(self, circuit: QuantumCircuit, plan: WidthPlan | None = None) -> Padded:
        """The static `circuit` padded (with `plan`, by default the one of its width), as
        ``PassManager.run`` returns it from the pass, with ``op_start_times`` set (none for
        a circuit of no instructions, as there), but read, planned and written natively
        where Qiskit's C API carries it, and through the pass's DAG where it does not."""
        data = circuit._data
        if data.has_control_flow_op():
            raise TranspilerError(CONTROL_FLOW)
        options = self.options
        plan = plan or self.plan(circuit.num_qubits)
        padded = self._pad_natively(circuit, plan)
        if padded is None:
            padded = self._pad_through_dag(circuit, plan)
        return padded

    def _pad_natively(self, circuit: QuantumCircuit, plan: WidthPlan) -> Padded | None:
        """`circuit` read, planned and written natively; None where the DAG path writes in
        Python (see `pad_dag`), or the C API cannot read or write it."""
        options = self.options
        data = circuit._data
        delays = circuit_delays(circuit, options.dt, options.unit_dt)
        if not surely_exact(len(data), plan.step, delays, options.unit_dt):
            return None
        # Labels are put back after the native writer, which writes none.
        labelled = labelled_positions(data)
        try:
            result = _bridge.pad_circuit_data(data, True, delays, options, plan, None,
                                         labelled or None)
        except (LookupError, NotImplementedError) as error:
            raise TranspilerError(str(error)) from error
        # None: Python-object parameters or operations, or data in use elsewhere; not
        # written: operations or pulses the C API cannot write.
        if result is None or not result[0]:
            return None
        return written_circuit(circuit, result, labelled, options, plan)

    def _pad_through_dag(self, circuit: QuantumCircuit, plan: WidthPlan) -> Padded:
        """`circuit` padded on its DAG, and made back into a circuit as ``PassManager.run``
        makes it."""
        padded = self.pad_dag(circuit_to_dag(circuit, copy_operations=True), plan)
        out = dag_to_circuit(padded.out, copy_operations=False)
        recorded = PropertySet()
        padded.record(recorded, self.options.unit_dt)
        start_times = recorded["node_start_time"]
        times = []
        if start_times:
            times = [start_times[node] for node in padded.out.topological_op_nodes()]
            out._op_start_times = times
        return Padded(out, times, padded.inserted, padded.dropped, padded.native)
