"""Padding static circuits: the room the pass, ``pad()`` and dynamic circuits share.

A :class:`Padding` holds a pass's :class:`~vornak.qiskit.options.Options` and makes, once per
circuit width, a :class:`WidthPlan`: the duration table, the pulses and their durations on
each qubit, the couplings, the options as the native planner reads them. With it, it pads a
static circuit (one without control flow) or its DAG natively where Qiskit's C API carries
everything, and through the Python writer where it does not, with the same result.
"""

from __future__ import annotations

import dataclasses
import math
import threading
from functools import partial
from operator import attrgetter, is_not

from qiskit.circuit import Delay, QuantumCircuit, Store
from qiskit.circuit.classical import expr
from qiskit.circuit.duration import duration_in_dt
from qiskit.converters import circuit_to_dag, dag_to_circuit
from qiskit.dagcircuit import DAGCircuit
from qiskit.passmanager import PropertySet
from qiskit.transpiler.exceptions import TranspilerError
from qiskit.transpiler.passes.scheduling.time_unit_conversion import _EvalDurationImpl

from vornak import _bridge
from vornak.qiskit.arguments import coupling_pairs, qubit_list
from vornak.qiskit.durations import (
    MAX_EXACT_DT, UNIT_SECONDS, checked, checked_length, duration_table, to_unit,
)
from vornak.qiskit.classical import ClassicalWires, classical_wires
from vornak.qiskit.labels import labelled_positions, relabel
from vornak.qiskit.options import PULSE_SPACING_S, Options
from vornak.qiskit.sequence import block_residues, native_written
from vornak.qiskit.start_times import record_start_times
from vornak.qiskit.writer import write_in_python

CONTROL_FLOW = "A circuit with control flow is padded block by block, not as one static circuit."


def has_labels(instructions) -> bool:
    """Whether any of `instructions` (DAG nodes or circuit instructions) has a label.

    Qiskit 2.6's C API neither reads nor writes labels, and no Qiskit call answers this
    without making a Python object per instruction; the loop itself runs in C. Instruction
    objects read the label without making the operation's Python object, which
    ``CircuitData.foreach_op`` would make (six times the cost where it is not cached yet).
    """
    return any(map(partial(is_not, None), map(attrgetter("label"), instructions)))


@dataclasses.dataclass(frozen=True)
class WidthPlan:
    """What padding a circuit of one width needs that depends on nothing else."""

    table: dict  # {name: {qargs: duration}} in the pass's unit
    pulses: list  # the sequence's pulses as the bridge takes them
    pulse_durations: list  # per qubit: the length of each pulse, or None (no pulses there)
    couplings: list  # the pairs the planner looks at (crosstalk, walsh)
    colouring: list  # the coupled pairs among the circuit's qubits
    bridge_options: dict  # the options by name, as the bridge reads them
    step: float  # the longest an operation can take after the one before it on its wires
    block: int  # pulses the planner places per block of the sequence
    phase: float  # the global phase of one such block

    def takes_pulses(self, qubit: int) -> bool:
        return self.pulse_durations[qubit] is not None

    def native(self, operations: int, delays: dict, unit_dt: bool) -> bool:
        """Whether the native writer may write a circuit: in dt, where it surely ends within
        2**53 dt (its `operations` and its `delays` add up to no more)."""
        return unit_dt and operations * self.step + sum(delays.values()) <= MAX_EXACT_DT


@dataclasses.dataclass
class Padded:
    """A padded static circuit or DAG, its start times (in the order of its instructions, or
    by node), and the sequences inserted and dropped."""

    out: QuantumCircuit | DAGCircuit
    times: list
    inserted: int
    dropped: int

    def record(self, property_set, unit_dt: bool) -> None:
        """What the pass records of a padded DAG in its property set."""
        property_set["time_unit"] = self.out._unit
        record_start_times(property_set, self.out, self.times, unit_dt)
        property_set["dd_sequences_inserted"] = self.inserted
        property_set["dd_sequences_dropped"] = self.dropped


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

    def plan(self, num_qubits: int) -> WidthPlan:
        """The plan for circuits of `num_qubits` qubits; a ``TranspilerError`` where an
        option does not fit that width."""
        found = self._plans.get(num_qubits)
        if found is None:
            with self._lock:
                found = self._plans.get(num_qubits)
                if found is None:
                    found = self._plans[num_qubits] = _make_plan(self.options, num_qubits)
        return found

    def spare_plan(self, num_qubits: int) -> WidthPlan:
        """The plan for circuits one qubit wider than `num_qubits`, whose last qubit takes no
        pulses: it holds the length a box of fixed duration must last."""
        found = self._spare_plans.get(num_qubits)
        if found is None:
            plan = self.plan(num_qubits)
            found = dataclasses.replace(plan, pulse_durations=plan.pulse_durations + [None])
            with self._lock:
                found = self._spare_plans.setdefault(num_qubits, found)
        return found

    # -- lengths ---------------------------------------------------------------------------

    def delay_length(self, op, qubits) -> float:
        """The length of delay `op` in the pass's unit, on the qubits that `qubits()` lists
        (for the message); a ``TranspilerError`` if it has no fixed one."""
        options = self.options
        try:
            if isinstance(op.duration, expr.Expr):
                value, unit = _constant_duration(op.duration, options.dt)
            else:
                value, unit = float(op.duration), op.unit
            if unit != "dt" and unit not in UNIT_SECONDS:
                raise TypeError(f"its unit is {unit!r}")
            length = to_unit(value, unit, options.dt, options.unit_dt)
        except (TypeError, ValueError, OverflowError, TranspilerError) as error:
            raise TranspilerError(
                f"The delay on qubits {qubits()} has no fixed duration ({op.duration}): {error}"
            ) from error
        return checked(length, f"the delay on qubits {qubits()}", options.unit_dt)

    def dag_delays(self, dag: DAGCircuit) -> dict[int, float]:
        """The length of every delay of `dag`, by node index."""
        delays = {}
        if "delay" in dag.count_ops(recurse=False):
            for node in dag.op_nodes(Delay):
                delays[node._node_id] = self.delay_length(
                    node.op, lambda: [dag.find_bit(q).index for q in node.qargs])
        return delays

    def circuit_delays(self, circuit: QuantumCircuit) -> dict[int, float]:
        """The length of every delay of `circuit`, by position."""
        if "delay" not in circuit.count_ops():
            return {}
        delays = {}
        for position, instruction in enumerate(circuit._data):
            if instruction.operation.name == "delay":
                delays[position] = self.delay_length(
                    instruction.operation,
                    lambda: [circuit.find_bit(q).index for q in instruction.qubits],
                )
        return delays

    # -- padding ---------------------------------------------------------------------------

    def finish(self, out, plan: WidthPlan, inserted: int, length: float) -> None:
        """Takes the phase of the `inserted` sequences out of the padded `out`, and gives it
        the pass's time unit and its `length`."""
        if inserted and plan.phase:
            out.global_phase = out.global_phase - inserted * plan.phase
        unit_dt = self.options.unit_dt
        out._unit = "dt" if unit_dt else "ns"
        out._duration = int(length) if unit_dt else length

    def pad_dag(self, dag: DAGCircuit, plan: WidthPlan | None = None) -> Padded:
        """The static `dag` padded (with `plan`, by default the one of its width): a new
        DAG, its start times by node."""
        options = self.options
        plan = plan or self.plan(dag.num_qubits())
        delays, stores = self.dag_delays(dag), ()
        if "store" in dag.count_ops(recurse=False):
            # The clbits and variables a store writes and reads, which the C API does not tell.
            number = ClassicalWires(dag)
            stores = ({node._node_id: number(classical_wires(node.op))
                       for node in dag.op_nodes(Store)},)
        # Qiskit's C API carries no labels: a circuit that has one is written in Python, as
        # is one in ns, written on Qiskit's clock, and one that may end beyond 2**53 dt,
        # whose length is checked first.
        write = (plan.native(dag.size(recurse=False), delays, options.unit_dt)
                 and not has_labels(dag.op_nodes()))
        try:
            written, inserted, dropped, detail = _bridge.pad(
                dag, write, plan.table, delays, plan.pulses, plan.pulse_durations,
                plan.couplings, plan.bridge_options, *stores,
            )
        except (LookupError, NotImplementedError) as error:
            raise TranspilerError(str(error)) from error
        if written:
            out, length, times = detail
            out.name = dag.name
            out.metadata = dag.metadata
        else:
            checked_length(max(detail[2], default=0.0), options.unit_dt)
            out, length, times = write_in_python(
                dag, detail, options.written, plan.pulse_durations, options.unit_dt,
                None if options.unit_dt else options.qiskit_durations(),
                float(plan.bridge_options["pulse_alignment"]),
            )
        self.finish(out, plan, inserted, length)
        return Padded(out, times, inserted, dropped)

    def pad_circuit(self, circuit: QuantumCircuit, plan: WidthPlan | None = None) -> Padded:
        """The static `circuit` padded (with `plan`, by default the one of its width), as
        ``PassManager.run`` returns it from the pass, with ``op_start_times`` set (none for
        a circuit of no instructions, as there), but read, planned and written natively
        where Qiskit's C API carries it."""
        data = circuit._data
        if data.has_control_flow_op():
            raise TranspilerError(CONTROL_FLOW)
        options = self.options
        plan = plan or self.plan(circuit.num_qubits)
        delays = self.circuit_delays(circuit)
        # Where the DAG path writes in Python (see pad_dag), the circuit goes through it.
        if not plan.native(len(data), delays, options.unit_dt):
            return self._pad_through_dag(circuit, plan)
        # Labels are put back after the native writer, which writes none.
        labelled = labelled_positions(data)
        try:
            result = _bridge.pad_circuit(
                data, True, plan.table, delays, plan.pulses, plan.pulse_durations,
                plan.couplings, plan.bridge_options, None, labelled or None,
            )
        except (LookupError, NotImplementedError) as error:
            raise TranspilerError(str(error)) from error
        if result is None:  # Python-object parameters or operations, or data in use elsewhere
            return self._pad_through_dag(circuit, plan)
        written, inserted, dropped, detail = result
        if not written:  # operations or pulses the C API cannot write
            return self._pad_through_dag(circuit, plan)
        if labelled:
            out, length, times, placed = detail
            relabel(out, data, labelled, placed)
        else:
            out, length, times = detail
        out.name = circuit.name
        out.metadata = circuit.metadata
        self.finish(out, plan, inserted, length)
        # As node_start_time holds them: ints in dt, floats in ns. Like PassManager.run,
        # which sets them only from a non-empty node_start_time, none for a circuit of no
        # instructions.
        if times:
            out._op_start_times = times if options.unit_dt else [float(t) for t in times]
        return Padded(out, times, inserted, dropped)

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
        return Padded(out, times, padded.inserted, padded.dropped)


def _make_plan(options: Options, num_qubits: int) -> WidthPlan:
    if options.qubits is not None and options.target is None:
        qubit_list(options.qubits, num_qubits, "qubits")
    table = duration_table(options.target, options.durations, options.dt, options.unit_dt)
    # Each operation ends at most this much after the one before it on its wires.
    step = max((v for entry in table.values() for v in entry.values()), default=0.0)
    step += max(options.pulse_alignment, options.acquire_alignment)
    pulse_durations = _pulse_durations(options, table, num_qubits)
    # The planner times blocks: every block must take the same time on a qubit.
    block, phase, n = options.block, options.phase, len(options.dd_sequence)
    if any(lengths is not None and any(lengths[k] != lengths[k % block] for k in range(n))
           for lengths in pulse_durations):
        # Whole sequences only, each the identity with the phase of its n / b blocks.
        block, phase = n, phase * (n // block)
    colouring = _coupled_pairs(options, num_qubits)
    # The walsh placement needs the couplings to choose the patterns of coupled qubits.
    couplings = colouring if options.crosstalk or options.placement == "walsh" else []
    return WidthPlan(
        table=table,
        pulses=[native_written(p) for p in options.written],
        pulse_durations=pulse_durations,
        couplings=couplings,
        colouring=colouring,
        bridge_options=_bridge_options(options, block, num_qubits),
        step=step,
        block=block,
        phase=phase,
    )


def _pulse_durations(options: Options, table: dict, num_qubits: int) -> list:
    """Per qubit, the length of each pulse of the sequence there, or None where it takes none."""
    target = options.target
    found: list[tuple[float, ...] | None] = []
    # The gates' names, each looked up once per qubit in the order the pulses meet them.
    names = [[gate.name for gate in pulse] for pulse in options.written]
    distinct = list(dict.fromkeys(name for pulse in names for name in pulse))
    for q in range(num_qubits):
        if options.qubits is not None and q not in options.qubits:
            found.append(None)
            continue
        if target is not None and not all(
            target.instruction_supported(name, qargs=(q,)) for name in distinct
        ):
            found.append(None)
            continue
        own = {}
        for name in distinct:
            entry = table.get(name, {})
            own[name] = entry.get((q,), entry.get(()))
            if own[name] is None:
                raise TranspilerError(f"Duration of {name} on qubits [{q}] is not found.")
        found.append(tuple(sum(own[name] for name in pulse) for pulse in names))
    return found


def _coupled_pairs(options: Options, num_qubits: int) -> list[tuple[int, int]]:
    """The coupled pairs among the circuit's qubits: the given ones, else the target's."""
    # Given pairs must lie in the circuit, as given qubits must; the target's may not.
    if options.coupling_map is not None:
        return coupling_pairs(options.coupling_map, num_qubits, "the circuit")
    coupling = options.target.build_coupling_map() if options.target is not None else None
    if coupling is None:
        return []
    return [(a, b) for a, b in coupling.get_edges() if a < num_qubits and b < num_qubits]


def _bridge_options(options: Options, block: int, num_qubits: int) -> dict:
    """The options by name, as the bridge reads them (its to_options lists the keys)."""
    dt = options.dt
    found = {
        "placement": options.placement,
        "scheduling": options.scheduling,
        "crosstalk": options.crosstalk,
        "skip_reset_qubits": options.skip_reset_qubits,
        "unit_dt": options.unit_dt,
        "block": block,
        "max_free": 0.0,
    }
    residues = block_residues(options.written, block) if options.frames_allowed else None
    if residues is not None and any(residues):
        found["residues"] = residues
    if options.calibration is not None and (dt is not None or not options.unit_dt):
        names = [[gate.name for gate in pulse] for pulse in options.written]
        found["noise"] = options.calibration.native(
            num_qubits, dt if options.unit_dt else 1e-9, names)
    if options.max_free_time is not None:
        found["max_free"] = (options.max_free_time / dt if options.unit_dt
                             else options.max_free_time * 1e9)
    if options.unit_dt:
        # Without a dt (durations all in dt) 10 ns is no known number of dt: no spacing.
        spacing = float(math.ceil(PULSE_SPACING_S / dt - 1e-9)) if dt is not None else 0.0
        found.update(pulse_alignment=float(options.pulse_alignment),
                     acquire_alignment=float(options.acquire_alignment), spacing=spacing)
    else:
        # Alignments are in dt: without a dt there is no grid.
        found.update(pulse_alignment=0.0, acquire_alignment=0.0, spacing=PULSE_SPACING_S * 1e9)
    return found


def _constant_duration(duration: expr.Expr, dt: float | None) -> tuple[float, str]:
    """(value, unit) of a delay's duration expression; a TypeError where it holds a stretch."""
    if any(isinstance(x, expr.Stretch) for x in expr.iter_identifiers(duration)):
        raise TypeError("it holds a stretch")
    visitor = _EvalDurationImpl(dt)
    value = duration.accept(visitor)
    if visitor.in_cycles():
        return float(duration_in_dt(value, 1.0)), "dt"
    return value, "s"
